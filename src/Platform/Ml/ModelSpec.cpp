#include <map>
#include <optional>
#include <string_view>

#include <google/protobuf/unknown_field_set.h>

#include "Platform/Ml/Importers.hpp"
#include "Platform/Ml/MlError.hpp"

namespace lumavane::ml::detail {

namespace {

// Model kinds of the format that this runtime does not run, to name them in messages.
const std::map<int, const char*> otherModelKinds = {{200, "pipelineClassifier"},
                                                    {201, "pipelineRegressor"},
                                                    {202, "pipeline"},
                                                    {300, "glmRegressor"},
                                                    {301, "supportVectorRegressor"},
                                                    {302, "treeEnsembleRegressor"},
                                                    {303, "neuralNetworkRegressor"},
                                                    {304, "bayesianProbitRegressor"},
                                                    {400, "glmClassifier"},
                                                    {401, "supportVectorClassifier"},
                                                    {402, "treeEnsembleClassifier"},
                                                    {403, "neuralNetworkClassifier"},
                                                    {404, "kNearestNeighborsClassifier"},
                                                    {501, "itemSimilarityRecommender"},
                                                    {555, "customModel"},
                                                    {556, "linkedModel"},
                                                    {560, "classConfidenceThresholding"},
                                                    {600, "oneHotEncoder"},
                                                    {601, "imputer"},
                                                    {602, "featureVectorizer"},
                                                    {603, "dictVectorizer"},
                                                    {604, "scaler"},
                                                    {606, "categoricalMapping"},
                                                    {607, "normalizer"},
                                                    {609, "arrayFeatureExtractor"},
                                                    {610, "nonMaximumSuppression"},
                                                    {900, "identity"},
                                                    {2000, "textClassifier"},
                                                    {2001, "wordTagger"},
                                                    {2002, "visionFeaturePrint"},
                                                    {2003, "soundAnalysisPreprocessing"},
                                                    {2004, "gazetteer"},
                                                    {2005, "wordEmbedding"},
                                                    {2006, "audioFeaturePrint"},
                                                    {3000, "serializedModel"}};

// The newest format version read (the one converters write for the 2024 systems), the
// operation sets of ML programs that the program importer's operations are checked against, and
// the one program version there is.
constexpr int32_t newestSpecificationVersion = 9;
constexpr int oldestOpset = 5, newestOpset = 8;
constexpr int64_t programVersion = 1;

// N of "CoreMLN", else nothing.
std::optional<int> opsetNumber(const std::string& opset) {
    constexpr std::string_view prefix = "CoreML";
    if (opset.size() <= prefix.size() || opset.size() > prefix.size() + 3 || opset.rfind(prefix, 0) != 0 ||
        opset[prefix.size()] == '0')
        return std::nullopt;
    int number = 0;
    for (std::size_t i = prefix.size(); i < opset.size(); ++i) {
        if (opset[i] < '0' || opset[i] > '9') return std::nullopt;
        number = number * 10 + (opset[i] - '0');
    }
    return number;
}

[[noreturn]] void refuseOpset(const std::string& opset, const std::optional<int>& number) {
    const std::string advice = !number ? "Convert it again for a deployment target that uses one of them."
                               : *number < oldestOpset ? "Convert it again for a newer deployment target."
                                                       : "Convert it again for an older deployment target.";
    raise(errorGeneric, "The ML program uses the operation set \"" + opset + "\"; this player runs CoreML" +
                            std::to_string(oldestOpset) + " to CoreML" + std::to_string(newestOpset) + ". " +
                            advice);
}

uint32_t pixelFormatOf(coreml::ImageFeatureType::ColorSpace space) {
    switch (space) {
    case coreml::ImageFeatureType::RGB:
    case coreml::ImageFeatureType::BGR:
        return pixelFormat32BGRA;
    case coreml::ImageFeatureType::GRAYSCALE:
        return pixelFormatOneComponent8;
    case coreml::ImageFeatureType::GRAYSCALE_FLOAT16:
        return pixelFormatOneComponent16Half;
    default:
        return 0;
    }
}

SizeRange rangeOf(const coreml::SizeRange& range) {
    SizeRange r;
    r.minimum = size_t(range.lowerbound());
    if (range.upperbound() >= 0) r.maximum = size_t(range.upperbound());
    return r;
}

FeatureDescription describeFeature(const coreml::FeatureDescription& feature) {
    FeatureDescription d;
    d.name = feature.name();
    d.isOptional = feature.type().isoptional();
    switch (feature.type().Type_case()) {
    case coreml::FeatureType::kInt64Type:
        d.type = FeatureType::int64;
        break;
    case coreml::FeatureType::kDoubleType:
        d.type = FeatureType::double_;
        break;
    case coreml::FeatureType::kStringType:
        d.type = FeatureType::string;
        break;
    case coreml::FeatureType::kMultiArrayType:
        d.type = FeatureType::multiArray;
        break;
    case coreml::FeatureType::kDictionaryType:
        d.type = FeatureType::dictionary;
        break;
    case coreml::FeatureType::kSequenceType:
        d.type = FeatureType::sequence;
        break;
    case coreml::FeatureType::kImageType: {
        d.type = FeatureType::image;
        const coreml::ImageFeatureType& image = feature.type().imagetype();
        // Said here, in the model's own numbers: clamped, they would surface later as an empty
        // picture the network cannot run on.
        if (image.width() < 0 || image.height() < 0)
            raise(errorGeneric, "The image \"" + feature.name() + "\" declares a size of " +
                                    std::to_string(image.width()) + "x" + std::to_string(image.height()) +
                                    "; a side cannot be negative.");
        ImageConstraint c;
        c.pixelFormatType = pixelFormatOf(image.colorspace());
        c.pixelsWide = size_t(image.width());
        c.pixelsHigh = size_t(image.height());
        if (image.has_enumeratedsizes()) {
            c.sizeConstraint.type = ImageSizeConstraint::Type::enumerated;
            for (const auto& size : image.enumeratedsizes().sizes())
                c.sizeConstraint.enumeratedImageSizes.push_back(
                    {size_t(size.width()), size_t(size.height())});
            // Without an explicit size the first enumerated one is the default.
            if ((c.pixelsWide == 0 || c.pixelsHigh == 0) && !c.sizeConstraint.enumeratedImageSizes.empty()) {
                c.pixelsWide = c.sizeConstraint.enumeratedImageSizes.front().pixelsWide;
                c.pixelsHigh = c.sizeConstraint.enumeratedImageSizes.front().pixelsHigh;
            }
        } else if (image.has_imagesizerange()) {
            c.sizeConstraint.type = ImageSizeConstraint::Type::range;
            c.sizeConstraint.pixelsWideRange = rangeOf(image.imagesizerange().widthrange());
            c.sizeConstraint.pixelsHighRange = rangeOf(image.imagesizerange().heightrange());
            if (c.pixelsWide == 0 || c.pixelsHigh == 0) {
                c.pixelsWide = c.sizeConstraint.pixelsWideRange.minimum;
                c.pixelsHigh = c.sizeConstraint.pixelsHighRange.minimum;
            }
        }
        d.imageConstraint = c;
        break;
    }
    default:
        d.type = FeatureType::invalid;
        break;
    }
    return d;
}

} // namespace

std::optional<int> firstUnknownField(const google::protobuf::Message& message, int minimum) {
    const google::protobuf::UnknownFieldSet& fields = message.GetReflection()->GetUnknownFields(message);
    for (int i = 0; i < fields.field_count(); ++i)
        if (fields.field(i).number() >= minimum) return fields.field(i).number();
    return std::nullopt;
}

ChannelOrder channelOrder(const coreml::ImageFeatureType& image) {
    switch (image.colorspace()) {
    case coreml::ImageFeatureType::BGR:
        return ChannelOrder::bgr;
    case coreml::ImageFeatureType::GRAYSCALE:
    case coreml::ImageFeatureType::GRAYSCALE_FLOAT16:
        return ChannelOrder::gray;
    default:
        return ChannelOrder::rgb;
    }
}

ModelDescription describeModel(const coreml::Model& spec) {
    ModelDescription d;
    for (const auto& f : spec.description().input()) d.inputDescriptions.push_back(describeFeature(f));
    for (const auto& f : spec.description().output()) d.outputDescriptions.push_back(describeFeature(f));
    const coreml::Metadata& m = spec.description().metadata();
    d.metadata.description = m.shortdescription();
    d.metadata.versionString = m.versionstring();
    d.metadata.author = m.author();
    d.metadata.license = m.license();
    for (const auto& [key, value] : m.userdefined()) d.metadata.creatorDefined[key] = value;
    return d;
}

ModelKind modelKind(const coreml::Model& spec) {
    // A newer format or operation set may change what a known field or operation means, so
    // such a model is refused rather than run on a guess.
    if (spec.specificationversion() > newestSpecificationVersion)
        raise(errorGeneric, "The model is of format version " + std::to_string(spec.specificationversion()) +
                                "; this player reads versions up to " +
                                std::to_string(newestSpecificationVersion) +
                                ". Convert it again for an older deployment target.");
    switch (spec.Type_case()) {
    case coreml::Model::kNeuralNetwork:
        return ModelKind::neuralNetwork;
    case coreml::Model::kMlProgram: {
        // The program's own version may change what its fields mean, as the format's does.
        if (spec.mlprogram().version() != programVersion)
            raise(errorGeneric, "The ML program is of program version " +
                                    std::to_string(spec.mlprogram().version()) +
                                    "; this player reads version " + std::to_string(programVersion) + ".");
        const auto main = spec.mlprogram().functions().find("main");
        if (main != spec.mlprogram().functions().end()) {
            const std::optional<int> number = opsetNumber(main->second.opset());
            if (!number || *number < oldestOpset || *number > newestOpset) refuseOpset(main->second.opset(), number);
        }
        return ModelKind::mlProgram;
    }
    default:
        break;
    }
    const std::optional<int> field = firstUnknownField(spec, 200);
    if (!field) raise(errorGeneric, "The model spec file holds no model.");
    const auto name = otherModelKinds.find(*field);
    raise(errorGeneric, "Models of type " +
                            (name != otherModelKinds.end() ? std::string(name->second)
                                                           : "number " + std::to_string(*field)) +
                            " are not supported; only neural networks and ML programs are.");
}

} // namespace lumavane::ml::detail
