#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"
#include "support/ErrorOf.hpp"

namespace lumavane::ml {
namespace {

using namespace fixtures;
using namespace ::testing;
using test::errorOf;

// A 2x network: one convolution to 12 channels, then a pixel shuffle.
coreml::Model tinyNetwork(int width = 8, int height = 6) {
    coreml::Model model = neuralNetworkModel();
    addImage(model.mutable_description()->mutable_input(), "image", width, height);
    addImage(model.mutable_description()->mutable_output(), "upscaled", width * 2, height * 2);
    auto* network = model.mutable_neuralnetwork();
    addConvolution(network, "conv", "image", "features", 3, 12, 3, randomValues(12 * 27, 0.2f, 1),
                   randomValues(12, 0.1f, 2));
    auto* shuffle = addLayer(network, "shuffle", {"features"}, "upscaled")->mutable_reorganizedata();
    shuffle->set_mode(coreml::ReorganizeDataLayerParams::PIXEL_SHUFFLE);
    shuffle->set_blocksize(2);
    return model;
}

ProgramWriter tinyProgram(int width = 8, int height = 6) {
    ProgramWriter p;
    p.input("image", {1, 3, height, width});
    p.constFloat("w", {12, 3, 3, 3}, randomValues(12 * 27, 0.2f, 3), Precision::fp16, Storage::blob);
    p.constFloat("b", {12}, randomValues(12, 0.1f, 4), Precision::fp32, Storage::blob);
    p.constString("pad_type", "same");
    p.op("conv", {{"x", {"image"}}, {"weight", {"w"}}, {"bias", {"b"}}, {"pad_type", {"pad_type"}}},
         "features");
    p.constInt("factor", 2);
    p.op("pixel_shuffle", {{"x", {"features"}}, {"upscale_factor", {"factor"}}}, "upscaled");
    p.output("upscaled");
    return p;
}

coreml::Model tinyProgramModel(const ProgramWriter& p, int width = 8, int height = 6) {
    coreml::Model model = programModel(p);
    addImage(model.mutable_description()->mutable_input(), "image", width, height);
    addImage(model.mutable_description()->mutable_output(), "upscaled", width * 2, height * 2);
    return model;
}

class ModelFilesTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& path : compiled_) std::filesystem::remove_all(path);
    }
    std::filesystem::path compile(const std::filesystem::path& url) {
        auto path = Model::compileModel(url);
        compiled_.push_back(path);
        return path;
    }
    TemporaryFolder folder_;
    std::vector<std::filesystem::path> compiled_;
};

TEST_F(ModelFilesTest, CompilesAModelFileIntoOwnFolderFormatThatLoads) {
    const auto file = folder_.path() / "Tiny.mlmodel";
    writeModelFile(file, tinyNetwork());
    const auto compiled = compile(file);

    EXPECT_EQ(compiled.extension(), ".mlmodelc");
    EXPECT_EQ(compiled.parent_path(), std::filesystem::temp_directory_path());
    EXPECT_THAT(compiled.filename().string(), StartsWith("Tiny-"));
    EXPECT_TRUE(std::filesystem::is_regular_file(compiled / "model.mlmodel"));
    EXPECT_TRUE(std::filesystem::is_regular_file(compiled / "compiled.json"));
    EXPECT_NE(Model::compileModel(file), compiled) << "every compilation gets its own folder";
    compiled_.push_back(Model::compileModel(file));

    auto model = Model::load(compiled, {ComputeUnits::cpuOnly, false});
    ASSERT_EQ(model->modelDescription().inputDescriptions.size(), 1u);
    EXPECT_EQ(model->modelDescription().inputDescriptions[0].name, "image");
    EXPECT_FALSE(model->runsOnGPU());
}

TEST_F(ModelFilesTest, CompilesAPackageWithItsWeightFile) {
    const ProgramWriter program = tinyProgram();
    const auto package = folder_.path() / "Tiny.mlpackage";
    writePackage(package, tinyProgramModel(program), program.weightBytes());
    const auto compiled = compile(package);

    EXPECT_TRUE(std::filesystem::is_regular_file(compiled / "weights" / "weight.bin"));
    auto model = Model::load(compiled, {ComputeUnits::cpuOnly, false});
    EXPECT_EQ(model->modelDescription().outputDescriptions.at(0).imageConstraint->pixelsWide, 16u);
    // The source package is left as it was.
    EXPECT_TRUE(
        std::filesystem::is_regular_file(package / "Data" / "com.apple.CoreML" / "weights" / "weight.bin"));
}

TEST_F(ModelFilesTest, ExtensionsAreMatchedWithoutCase) {
    const auto file = folder_.path() / "Upper.MLMODEL";
    writeModelFile(file, tinyNetwork());
    EXPECT_NO_THROW(compile(file));
}

TEST_F(ModelFilesTest, DescriptionCarriesImageConstraintsAndPixelFormats) {
    coreml::Model model = tinyNetwork(256, 128);
    model.mutable_description()->mutable_output(0)->mutable_type()->mutable_imagetype()->set_colorspace(
        coreml::ImageFeatureType::BGR);
    const auto file = folder_.path() / "Sized.mlmodel";
    writeModelFile(file, model);
    auto loaded = Model::load(compile(file), {ComputeUnits::cpuOnly, false});
    const ModelDescription& d = loaded->modelDescription();
    ASSERT_TRUE(d.inputDescriptions[0].imageConstraint);
    EXPECT_EQ(d.inputDescriptions[0].type, FeatureType::image);
    EXPECT_EQ(d.inputDescriptions[0].imageConstraint->pixelsWide, 256u);
    EXPECT_EQ(d.inputDescriptions[0].imageConstraint->pixelsHigh, 128u);
    EXPECT_EQ(d.inputDescriptions[0].imageConstraint->pixelFormatType, pixelFormat32BGRA);
    EXPECT_EQ(d.outputDescriptions[0].imageConstraint->pixelsWide, 512u);
    EXPECT_EQ(d.outputDescriptions[0].imageConstraint->pixelFormatType, pixelFormat32BGRA)
        << "BGR images are BGRA buffers too";
    EXPECT_EQ(d.inputDescriptions[0].imageConstraint->sizeConstraint.type,
              ImageSizeConstraint::Type::unspecified);
}

TEST_F(ModelFilesTest, FlexibleSizesAndOtherFeatureKinds) {
    coreml::Model model = tinyNetwork();
    auto* input = model.mutable_description()->mutable_input(0);
    input->mutable_type()->mutable_imagetype()->clear_width();
    input->mutable_type()->mutable_imagetype()->clear_height();
    setSizeRange(input, 16, 2048, 8, -1);
    auto* gray = addImage(model.mutable_description()->mutable_output(), "mask", 4, 4,
                          coreml::ImageFeatureType::GRAYSCALE);
    auto* sizes = gray->mutable_type()->mutable_imagetype()->mutable_enumeratedsizes();
    auto* size = sizes->add_sizes();
    size->set_width(4);
    size->set_height(4);
    size = sizes->add_sizes();
    size->set_width(8);
    size->set_height(2);
    addMultiArray(model.mutable_description()->mutable_output(), "scores", {3, 4});
    addConvolution(model.mutable_neuralnetwork(), "m", "upscaled", "mask", 3, 1, 1, {1, 1, 1}, {});
    addConvolution(model.mutable_neuralnetwork(), "s", "upscaled", "scores", 3, 1, 1, {1, 1, 1}, {});
    const auto file = folder_.path() / "Flexible.mlmodel";
    writeModelFile(file, model);
    const ModelDescription d = Model::load(compile(file), {ComputeUnits::cpuOnly, false})->modelDescription();

    const ImageConstraint& in = *d.inputDescriptions[0].imageConstraint;
    EXPECT_EQ(in.sizeConstraint.type, ImageSizeConstraint::Type::range);
    EXPECT_EQ(in.pixelsWide, 16u) << "the default size is the lower bound";
    EXPECT_EQ(in.pixelsHigh, 8u);
    EXPECT_EQ(in.sizeConstraint.pixelsWideRange.maximum, std::optional<size_t>(2048));
    EXPECT_FALSE(in.sizeConstraint.pixelsHighRange.maximum) << "a negative upper bound is unbounded";
    EXPECT_TRUE(in.allows(16, 8));
    EXPECT_TRUE(in.allows(2048, 100000));
    EXPECT_FALSE(in.allows(15, 8));
    EXPECT_FALSE(in.allows(2049, 8));

    const ImageConstraint& mask = *d.output("mask")->imageConstraint;
    EXPECT_EQ(mask.pixelFormatType, pixelFormatOneComponent8);
    EXPECT_EQ(mask.sizeConstraint.type, ImageSizeConstraint::Type::enumerated);
    EXPECT_TRUE(mask.allows(8, 2));
    EXPECT_FALSE(mask.allows(2, 8));
    EXPECT_EQ(d.output("scores")->type, FeatureType::multiArray);
    EXPECT_FALSE(d.output("scores")->imageConstraint);
}

TEST_F(ModelFilesTest, MetadataKeepsCreatorDefinedKeys) {
    coreml::Model model = tinyNetwork();
    setMetadata(
        model, {{"coravel.scale", "2"}, {"coravel.execution", "whole-frame"}, {"coravel.license", "未指定"}});
    model.mutable_description()->mutable_metadata()->set_author("Someone");
    model.mutable_description()->mutable_metadata()->set_license("MIT");
    const auto file = folder_.path() / "Meta.mlmodel";
    writeModelFile(file, model);
    const ModelMetadata m =
        Model::load(compile(file), {ComputeUnits::cpuOnly, false})->modelDescription().metadata;
    EXPECT_EQ(m.creatorDefined.at("coravel.scale"), "2");
    EXPECT_EQ(m.creatorDefined.at("coravel.execution"), "whole-frame");
    EXPECT_EQ(m.creatorDefined.at("coravel.license"), "未指定");
    EXPECT_EQ(m.author, "Someone");
    EXPECT_EQ(m.license, "MIT");

    const auto plain = folder_.path() / "Plain.mlmodel";
    writeModelFile(plain, tinyNetwork());
    EXPECT_TRUE(Model::load(compile(plain), {ComputeUnits::cpuOnly, false})
                    ->modelDescription()
                    .metadata.creatorDefined.empty());
}

TEST_F(ModelFilesTest, CompilationRefusesWhatIsNotAModel) {
    const auto text = folder_.path() / "notes.txt";
    std::ofstream(text) << "hello";
    EXPECT_EQ(errorOf([&] { Model::compileModel(text); }).code(), errorGeneric);

    EXPECT_EQ(errorOf([&] { Model::compileModel(folder_.path() / "Missing.mlmodel"); }).code(), errorIO);

    const auto damaged = folder_.path() / "Damaged.mlmodel";
    std::ofstream(damaged) << "\xff\xff\xff\xff not a protobuf";
    EXPECT_THAT(errorOf([&] { Model::compileModel(damaged); }).what(), HasSubstr("damaged"));

    coreml::Model pipeline;
    pipeline.set_specificationversion(4);
    addImage(pipeline.mutable_description()->mutable_input(), "image", 8, 8);
    addImage(pipeline.mutable_description()->mutable_output(), "out", 8, 8);
    addUnknownField(&pipeline, 202);
    const auto pipelineFile = folder_.path() / "Pipeline.mlmodel";
    writeModelFile(pipelineFile, pipeline);
    EXPECT_THAT(errorOf([&] { Model::compileModel(pipelineFile); }).what(), HasSubstr("pipeline"));

    // Nothing is left behind by failed compilations.
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
        EXPECT_THAT(entry.path().filename().string(),
                    Not(AnyOf(StartsWith("Damaged-"), StartsWith("Pipeline-"))));
}

TEST_F(ModelFilesTest, PackagesMustNameTheirRootModelInside) {
    const auto noManifest = folder_.path() / "Empty.mlpackage";
    std::filesystem::create_directories(noManifest);
    EXPECT_EQ(errorOf([&] { Model::compileModel(noManifest); }).code(), errorIO);

    const auto escaping = folder_.path() / "Escaping.mlpackage";
    writePackage(escaping, tinyNetwork());
    std::ofstream(escaping / "Manifest.json")
        << R"({"itemInfoEntries": {"X": {"path": "../../Escaping.mlpackage/Data/com.apple.CoreML/model.mlmodel"}}, "rootModelIdentifier": "X"})";
    EXPECT_THAT(errorOf([&] { Model::compileModel(escaping); }).what(), HasSubstr("outside the package"));

    const auto broken = folder_.path() / "Broken.mlpackage";
    writePackage(broken, tinyNetwork());
    std::ofstream(broken / "Manifest.json") << R"({"rootModelIdentifier": "missing", "itemInfoEntries": {}})";
    EXPECT_THAT(errorOf([&] { Model::compileModel(broken); }).what(), HasSubstr("Manifest.json"));
}

TEST_F(ModelFilesTest, LoadAcceptsOnlyFoldersOfItsOwnCompiler) {
    EXPECT_EQ(errorOf([&] { Model::load(folder_.path() / "Nothing.mlmodelc"); }).code(), errorIO);

    // A folder in another tool's layout (compiled networks, no marker of ours).
    const auto foreign = folder_.path() / "Foreign.mlmodelc";
    std::filesystem::create_directories(foreign);
    std::ofstream(foreign / "coremldata.bin") << "x";
    std::ofstream(foreign / "model.mlmodel") << "x";
    EXPECT_THAT(errorOf([&] { Model::load(foreign); }).what(), HasSubstr("not compiled by this player"));

    const auto file = folder_.path() / "Tiny.mlmodel";
    writeModelFile(file, tinyNetwork());
    const auto compiled = compile(file);
    std::ofstream(compiled / "compiled.json") << R"({"format": "lumavane-mlmodelc", "version": 99})";
    EXPECT_THAT(errorOf([&] { Model::load(compiled); }).what(), HasSubstr("not compiled by this player"));
}

} // namespace
} // namespace lumavane::ml
