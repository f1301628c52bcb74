// Model files and packages: compilation into the runtime's own folders, descriptions, and the
// refusals at compilation and load, each of which must say what it refused.

#include <fstream>
#include <functional>

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
namespace fs = std::filesystem;

coreml::Model withImages(coreml::Model model, int width, int height, int outWidth, int outHeight) {
    addImage(model.mutable_description()->mutable_input(), "image", width, height);
    addImage(model.mutable_description()->mutable_output(), "out", outWidth, outHeight);
    return model;
}

// A 2x network: one convolution to 12 channels, then a pixel shuffle.
coreml::Model tinyNetwork(int width = 8, int height = 6) {
    coreml::Model model = withImages(neuralNetworkModel(), width, height, 2 * width, 2 * height);
    auto* network = model.mutable_neuralnetwork();
    addConvolution(network, "conv", "image", "features", 3, 12, 3, randomValues(12 * 27, 0.2f, 1),
                   randomValues(12, 0.1f, 2));
    auto* shuffle = addLayer(network, "shuffle", {"features"}, "out")->mutable_reorganizedata();
    shuffle->set_mode(coreml::ReorganizeDataLayerParams::PIXEL_SHUFFLE);
    shuffle->set_blocksize(2);
    return model;
}

// The same network as an ML program, its weights in the weight file.
std::pair<coreml::Model, std::string> tinyProgram(const std::string& opset = "CoreML5") {
    ProgramWriter p(opset);
    p.input("image", {1, 3, 6, 8});
    p.constFloat("w", {12, 3, 3, 3}, randomValues(12 * 27, 0.2f, 3), Precision::fp16, Storage::blob);
    p.constFloat("b", {12}, randomValues(12, 0.1f, 4), Precision::fp32, Storage::blob);
    p.constString("pad_type", "same");
    p.op("conv", {{"x", {"image"}}, {"weight", {"w"}}, {"bias", {"b"}}, {"pad_type", {"pad_type"}}},
         "features");
    p.constInt("factor", 2);
    p.op("pixel_shuffle", {{"x", {"features"}}, {"upscale_factor", {"factor"}}}, "out");
    p.output("out");
    return {withImages(programModel(p), 8, 6, 16, 12), p.weightBytes()};
}

// 8x8 image in and out around the program's operations.
coreml::Model program(const ProgramWriter& p) { return withImages(programModel(p), 8, 8, 8, 8); }
coreml::Model network() { return withImages(neuralNetworkModel(), 8, 8, 8, 8); }

class ModelFilesTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& path : compiled_) fs::remove_all(path);
    }
    fs::path compile(const fs::path& url) { return compiled_.emplace_back(Model::compileModel(url)); }
    fs::path package(const coreml::Model& model, const std::string& weights = {}) {
        const auto path = folder_.path() / ("M" + std::to_string(counter_++) + ".mlpackage");
        writePackage(path, model, weights);
        return path;
    }
    std::shared_ptr<Model> load(const fs::path& url) {
        return Model::load(compile(url), {ComputeUnits::cpuOnly});
    }
    std::string loadError(const coreml::Model& model, const std::string& weights = {}) {
        const PlatformError e =
            errorOf([&] { Model::load(compile(package(model, weights)), {ComputeUnits::cpuAndGPU}); });
        EXPECT_EQ(e.domain(), errorDomain);
        return e.what();
    }

    TemporaryFolder folder_;
    std::vector<fs::path> compiled_;
    int counter_ = 0;
};

TEST_F(ModelFilesTest, FilesAndPackagesCompileIntoFoldersOfTheirOwn) {
    const auto file = folder_.path() / "Tiny.MLMODEL"; // extensions match without case
    writeModelFile(file, tinyNetwork());
    const auto compiled = compile(file);
    EXPECT_EQ(compiled.extension(), ".mlmodelc");
    EXPECT_EQ(compiled.parent_path(), fs::temp_directory_path());
    EXPECT_THAT(compiled.filename().string(), StartsWith("Tiny-"));
    EXPECT_NE(compile(file), compiled) << "every compilation gets its own folder";
    EXPECT_FALSE(Model::load(compiled, {ComputeUnits::cpuOnly})->runsOnGPU());

    const auto [model, weights] = tinyProgram();
    const auto source = package(model, weights);
    const auto fromPackage = compile(source);
    EXPECT_TRUE(fs::is_regular_file(fromPackage / "weights" / "weight.bin"));
    EXPECT_EQ(
        Model::load(fromPackage)->modelDescription().outputDescriptions.at(0).imageConstraint->pixelsWide,
        16u);
    EXPECT_TRUE(fs::is_regular_file(source / "Data" / "com.apple.CoreML" / "weights" / "weight.bin"))
        << "the source package is left as it was";
}

TEST_F(ModelFilesTest, DescriptionsCarryConstraintsFormatsAndMetadata) {
    coreml::Model model = tinyNetwork(256, 128);
    model.mutable_description()->mutable_output(0)->mutable_type()->mutable_imagetype()->set_colorspace(
        coreml::ImageFeatureType::BGR);
    setMetadata(model, {{"coravel.scale", "2"}, {"coravel.license", "未指定"}});
    model.mutable_description()->mutable_metadata()->set_author("Someone");
    const auto file = folder_.path() / "Sized.mlmodel";
    writeModelFile(file, model);
    const ModelDescription d = load(file)->modelDescription();
    const ImageConstraint& in = *d.inputDescriptions.at(0).imageConstraint;
    EXPECT_EQ(d.inputDescriptions[0].type, FeatureType::image);
    EXPECT_EQ(std::pair(in.pixelsWide, in.pixelsHigh), std::pair(size_t(256), size_t(128)));
    EXPECT_EQ(in.sizeConstraint.type, ImageSizeConstraint::Type::unspecified);
    EXPECT_EQ(d.outputDescriptions[0].imageConstraint->pixelFormatType, pixelFormat32BGRA)
        << "BGR images are BGRA buffers too";
    EXPECT_EQ(d.metadata.creatorDefined,
              (std::map<std::string, std::string>{{"coravel.scale", "2"}, {"coravel.license", "未指定"}}));
    EXPECT_EQ(d.metadata.author, "Someone");

    // A range of input sizes; the output keeps the size it was converted at.
    coreml::Model flexible = tinyNetwork();
    auto* input = flexible.mutable_description()->mutable_input(0);
    input->mutable_type()->mutable_imagetype()->clear_width();
    input->mutable_type()->mutable_imagetype()->clear_height();
    setSizeRange(input, 16, 2048, 8, -1);
    const ImageConstraint range =
        *load(package(flexible))->modelDescription().inputDescriptions[0].imageConstraint;
    EXPECT_EQ(std::pair(range.pixelsWide, range.pixelsHigh), std::pair(size_t(16), size_t(8)))
        << "the default size is the lower bound";
    EXPECT_FALSE(range.sizeConstraint.pixelsHighRange.maximum) << "a negative upper bound is unbounded";
    EXPECT_TRUE(range.allows(2048, 100000));
    EXPECT_FALSE(range.allows(15, 8));
    EXPECT_FALSE(range.allows(2049, 8));
}

TEST_F(ModelFilesTest, WhatIsNotAModelOrNotOursIsRefused) {
    const auto text = folder_.path() / "notes.txt";
    std::ofstream(text) << "hello";
    EXPECT_EQ(errorOf([&] { Model::compileModel(text); }).code(), errorGeneric);
    EXPECT_EQ(errorOf([&] { Model::compileModel(folder_.path() / "Missing.mlmodel"); }).code(), errorIO);
    const auto damaged = folder_.path() / "Damaged.mlmodel";
    std::ofstream(damaged) << "\xff\xff\xff\xff not a protobuf";
    EXPECT_THAT(errorOf([&] { Model::compileModel(damaged); }).what(), HasSubstr("damaged"));
    coreml::Model pipeline = network();
    addUnknownField(&pipeline, 202);
    pipeline.clear_neuralnetwork();
    const auto pipelineFile = folder_.path() / "Pipeline.mlmodel";
    writeModelFile(pipelineFile, pipeline);
    EXPECT_THAT(errorOf([&] { Model::compileModel(pipelineFile); }).what(), HasSubstr("pipeline"));
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
        EXPECT_THAT(entry.path().filename().string(),
                    Not(AnyOf(StartsWith("Damaged-"), StartsWith("Pipeline-"))))
            << "failed compilations leave nothing behind";

    // Packages must name their root model inside themselves.
    const auto empty = folder_.path() / "Empty.mlpackage";
    fs::create_directories(empty);
    EXPECT_EQ(errorOf([&] { Model::compileModel(empty); }).code(), errorIO);
    const auto escaping = package(tinyNetwork());
    std::ofstream(escaping / "Manifest.json")
        << R"({"itemInfoEntries": {"X": {"path": "../../Escaping.mlpackage/Data/com.apple.CoreML/model.mlmodel"}}, "rootModelIdentifier": "X"})";
    EXPECT_THAT(errorOf([&] { Model::compileModel(escaping); }).what(), HasSubstr("outside the package"));
    const auto broken = package(tinyNetwork());
    std::ofstream(broken / "Manifest.json") << R"({"rootModelIdentifier": "missing", "itemInfoEntries": {}})";
    EXPECT_THAT(errorOf([&] { Model::compileModel(broken); }).what(), HasSubstr("Manifest.json"));

    // Only folders of this runtime's own compiler load.
    EXPECT_EQ(errorOf([&] { Model::load(folder_.path() / "Nothing.mlmodelc"); }).code(), errorIO);
    const auto foreign = folder_.path() / "Foreign.mlmodelc";
    fs::create_directories(foreign);
    std::ofstream(foreign / "model.mlmodel") << "x";
    EXPECT_THAT(errorOf([&] { Model::load(foreign); }).what(), HasSubstr("not compiled by this player"));
    const auto compiled = compile(package(tinyNetwork()));
    std::ofstream(compiled / "compiled.json") << R"({"format": "lumavane-mlmodelc", "version": 99})";
    EXPECT_THAT(errorOf([&] { Model::load(compiled); }).what(), HasSubstr("not compiled by this player"));
}

// Format versions and operation sets up to those of the 2024 systems load, newer ones do not.
TEST_F(ModelFilesTest, FormatVersionsAndOperationSets) {
    for (const char* opset : {"CoreML5", "CoreML6", "CoreML7", "CoreML8"}) {
        auto [model, weights] = tinyProgram(opset);
        model.set_specificationversion(std::string(opset) == "CoreML8" ? 9 : 6);
        EXPECT_NO_THROW(load(package(model, weights))) << opset;
    }
    auto [newer, weights] = tinyProgram("CoreML9");
    newer.set_specificationversion(10);
    EXPECT_THAT(loadError(newer, weights), HasSubstr("format version 10"));
    newer.set_specificationversion(9);
    EXPECT_THAT(loadError(newer, weights), HasSubstr("\"CoreML9\""));
    coreml::Model future = tinyNetwork();
    future.set_specificationversion(10);
    EXPECT_THAT(errorOf([&] { Model::compileModel(package(future)); }).what(),
                HasSubstr("format version 10"));

    // The advice points the way the operation set is off.
    const struct {
        const char* opset;
        const char* advice;
    } refused[] = {{"CoreML4", "for a newer deployment target"},
                   {"CoreML9", "for an older deployment target"},
                   {"CoreML05", "a deployment target that uses one of them"},
                   {"iOS15", "a deployment target that uses one of them"}};
    for (const auto& r : refused) {
        auto [model, bytes] = tinyProgram(r.opset);
        EXPECT_THAT(loadError(model, bytes), AllOf(HasSubstr("CoreML5 to CoreML8"), HasSubstr(r.advice)))
            << r.opset;
    }
    // A program's own version is checked like the format's.
    for (const int64_t version : {0, 2, 99}) {
        auto [model, bytes] = tinyProgram();
        model.mutable_mlprogram()->set_version(version);
        EXPECT_THAT(loadError(model, bytes), HasSubstr("program version " + std::to_string(version)))
            << version;
    }
}

// Every JSON file of a package is read with bounded nesting.
TEST_F(ModelFilesTest, ADeeplyNestedPackageManifestIsRefused) {
    const fs::path url = package(tinyNetwork());
    std::ifstream in(url / "Manifest.json");
    std::string manifest(std::istreambuf_iterator<char>(in), {});
    manifest.insert(1, "\"x\": " + std::string(50000, '[') + std::string(50000, ']') + ", ");
    std::ofstream(url / "Manifest.json") << manifest;
    EXPECT_THAT(errorOf([&] { Model::compileModel(url); }).what(),
                AllOf(HasSubstr("Manifest.json cannot be read"), HasSubstr("nested")));
}

// A network of one convolution from `input` to `output` with `weights` weights.
coreml::Model convolution(const char* input, const char* output, int in, int out, size_t weights) {
    coreml::Model m = network();
    addConvolution(m.mutable_neuralnetwork(), "conv", input, output, in, out, 3, randomValues(weights, 1, 1),
                   {});
    return m;
}

TEST_F(ModelFilesTest, LoadRefusalsNameWhatWasRefused) {
    struct Case {
        std::function<coreml::Model()> model;
        std::vector<const char*> message;
    };
    const std::vector<Case> cases = {
        {[] { // a layer kind the runtime does not read
             coreml::Model m = network();
             addUnknownField(addLayer(m.mutable_neuralnetwork(), "pool1", {"image"}, "out"), 120);
             return m;
         },
         {"pool1", "pooling"}},
        {[] {
             coreml::Model m = convolution("image", "out", 3, 3, 81);
             m.mutable_neuralnetwork()->mutable_layers(0)->mutable_convolution()->set_isdeconvolution(true);
             return m;
         },
         {"conv", "deconvolution"}},
        {[] { return convolution("image", "out", 3, 3, 80); }, {"conv", "80", "81"}},
        {[] { return convolution("nowhere", "out", 3, 3, 81); }, {"nowhere"}},
        {[] { return convolution("image", "other", 3, 3, 81); }, {"\"out\""}},
        {[] { return convolution("image", "out", 3, 4, 108); }, {"4 channels"}}, // an output image of four
        {[] { // channels that do not line up, found at load
             coreml::Model m = convolution("image", "f", 3, 4, 108);
             addConvolution(m.mutable_neuralnetwork(), "b", "f", "out", 5, 3, 3, randomValues(135, 1, 1), {});
             return m;
         },
         {"'b'", "5 input channels"}},
        {[] { // a network that makes another output size than the model declares
             coreml::Model m = tinyNetwork();
             m.mutable_description()->mutable_output(0)->mutable_type()->mutable_imagetype()->set_width(24);
             return m;
         },
         {"\"out\" 16x12", "declares 24x12"}},
        {[] { // a negative side, said in the model's own numbers
             coreml::Model m = tinyNetwork();
             m.mutable_description()->mutable_input(0)->mutable_type()->mutable_imagetype()->set_width(-64);
             return m;
         },
         {"\"image\"", "-64x6", "cannot be negative"}},
        {[] {
             coreml::Model m = tinyNetwork();
             m.mutable_description()->mutable_output(0)->mutable_type()->mutable_imagetype()->set_height(-1);
             return m;
         },
         {"\"out\"", "16x-1"}},
        {[] { // no size and nothing flexible to take one from
             coreml::Model m = tinyNetwork();
             m.mutable_description()->mutable_input(0)->mutable_type()->mutable_imagetype()->set_height(0);
             return m;
         },
         {"\"image\"", "8x0", "at least one pixel"}},
        {[] { // a side beyond what the shapes can hold
             coreml::Model m = tinyNetwork();
             m.mutable_description()->mutable_input(0)->mutable_type()->mutable_imagetype()->set_width(1ll
                                                                                                       << 31);
             return m;
         },
         {"2147483648x6", "65536 pixels a side"}},
    };
    for (const Case& c : cases) {
        const std::string message = loadError(c.model());
        for (const char* part : c.message) EXPECT_THAT(message, HasSubstr(part));
    }
}

TEST_F(ModelFilesTest, ProgramRefusalsNameWhatWasRefused) {
    struct Case {
        const char* type;
        std::vector<std::pair<std::string, std::vector<std::string>>> inputs;
        const char* output;
        const char* message;
        int64_t batch = 1;
    };
    const Case cases[] = {
        {"softmax", {{"x", {"image"}}, {"axis", {"one"}}}, "out", "softmax (\"out\")"},
        {"gather", {{"x", {"image"}}, {"indices", {"pair"}}, {"axis", {"two"}}}, "out", "channel axis"},
        {"upsample_nearest_neighbor",
         {{"x", {"image"}}, {"upscale_factor_height", {"two"}}},
         "out",
         "\"upscale_factor_height\" is not supported"},
        {"relu", {{"x", {"later"}}}, "out", "\"later\""},
        {"relu", {{"x", {"image"}}}, "other", "does not return the output \"out\""},
        {"relu", {{"x", {"image"}}}, "out", "batch", 2},
        {"conv", {{"x", {"image"}}, {"weight", {"image"}}}, "out", "must be a constant"},
    };
    for (const Case& c : cases) {
        ProgramWriter p;
        p.input("image", {c.batch, 3, 8, 8});
        p.constInt("one", 1);
        p.constInt("two", 2);
        p.constInts("pair", {2}, {0, 1});
        p.op(c.type, c.inputs, c.output);
        p.output(c.output);
        EXPECT_THAT(loadError(program(p)), HasSubstr(c.message));
    }
    ProgramWriter p;
    p.input("image", {1, 3, 8, 8});
    p.op("relu", {{"x", {"image"}}}, "out");
    p.output("out");
    coreml::Model noMain = program(p);
    auto function = noMain.mlprogram().functions().at("main");
    noMain.mutable_mlprogram()->mutable_functions()->clear();
    (*noMain.mutable_mlprogram()->mutable_functions())["other"] = function;
    EXPECT_THAT(loadError(noMain), HasSubstr("\"main\""));
}

TEST_F(ModelFilesTest, WeightBlobsAreValidated) {
    auto withWeight = [](const std::string& fileName) {
        ProgramWriter p;
        p.input("image", {1, 3, 8, 8});
        p.constFloat("w", {3, 3, 1, 1}, randomValues(9, 1, 1), Precision::fp16, Storage::blob);
        p.op("conv", {{"x", {"image"}}, {"weight", {"w"}}}, "out");
        p.output("out");
        coreml::Model m = program(p);
        auto& block = (*(*m.mutable_mlprogram()->mutable_functions())["main"]
                            .mutable_block_specializations())["CoreML5"];
        if (!fileName.empty())
            (*block.mutable_operations(0)->mutable_attributes())["val"].mutable_blobfilevalue()->set_filename(
                fileName);
        return std::make_pair(m, p.weightBytes());
    };
    const auto [good, bytes] = withWeight("");
    auto damage = [&, bytes = bytes](size_t at, char value) {
        std::string b = bytes;
        b[at] = value;
        return b;
    };
    // Blob errors name the weight file in the user's package, not the model's internal name.
    const std::string noRecord = loadError(good, damage(64, 0));
    EXPECT_THAT(noRecord, AllOf(HasSubstr("no blob record"), HasSubstr((folder_.path() / "M").string()),
                                HasSubstr("weights/weight.bin"), Not(HasSubstr("@model_path")),
                                Not(HasSubstr(".mlmodelc"))));
    EXPECT_THAT(loadError(good, damage(68, 2)), HasSubstr("data type 2"));
    EXPECT_THAT(loadError(good, damage(72, 17)), HasSubstr("17 bytes"));
    EXPECT_THAT(loadError(good, damage(85, 0x10)), HasSubstr("beyond the end"));
    EXPECT_THAT(loadError(withWeight("@model_path/../../etc/passwd").first, bytes),
                HasSubstr("not inside the model"));
    EXPECT_THAT(loadError(withWeight("/etc/passwd").first, bytes), HasSubstr("not inside the model"));

    // Messages about a weight file name the file in the package the user chose, not the
    // temporary compiled copy.
    const std::string wrongVersion = loadError(good, damage(4, 1));
    EXPECT_THAT(wrongVersion, HasSubstr("blob storage format"));
    EXPECT_THAT(wrongVersion, HasSubstr((folder_.path() / "M").string()));
    EXPECT_THAT(wrongVersion, Not(HasSubstr(".mlmodelc")));
    EXPECT_THAT(
        loadError(withWeight("@model_path/weights/other.bin").first, bytes),
        AllOf(HasSubstr("Cannot read"), HasSubstr(folder_.path().string()), Not(HasSubstr(".mlmodelc"))));
}

} // namespace
} // namespace lumavane::ml
