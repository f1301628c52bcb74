#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Ml/Model.hpp"
#include "Platform/Ml/ModelWriter.hpp"

namespace lumavane::ml {
namespace {

using namespace fixtures;
using namespace ::testing;

// Every load failure must say what it refused; these tests read the description.
class ImportTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& path : compiled_) std::filesystem::remove_all(path);
    }

    std::string loadError(const coreml::Model& model, const std::string& weights = {}) {
        const auto package = folder_.path() / ("M" + std::to_string(counter_++) + ".mlpackage");
        writePackage(package, model, weights);
        try {
            compiled_.push_back(Model::compileModel(package));
            Model::load(compiled_.back(), {ComputeUnits::cpuAndGPU, false});
        } catch (const PlatformError& e) {
            EXPECT_EQ(e.domain(), errorDomain);
            return e.what();
        }
        ADD_FAILURE() << "the model loaded";
        return {};
    }

    static coreml::Model network() {
        coreml::Model model = neuralNetworkModel();
        addImage(model.mutable_description()->mutable_input(), "image", 8, 8);
        addImage(model.mutable_description()->mutable_output(), "out", 8, 8);
        return model;
    }

    static coreml::Model program(const ProgramWriter& p) {
        coreml::Model model = programModel(p);
        addImage(model.mutable_description()->mutable_input(), "image", 8, 8);
        addImage(model.mutable_description()->mutable_output(), "out", 8, 8);
        return model;
    }

    TemporaryFolder folder_;
    std::vector<std::filesystem::path> compiled_;
    int counter_ = 0;
};

TEST_F(ImportTest, UnsupportedLayersAreNamedWithTheirKind) {
    coreml::Model model = network();
    addUnknownField(addLayer(model.mutable_neuralnetwork(), "pool1", {"image"}, "out"), 120);
    const std::string message = loadError(model);
    EXPECT_THAT(message, HasSubstr("pool1"));
    EXPECT_THAT(message, HasSubstr("pooling"));

    coreml::Model tanh = network();
    addUnknownField(addLayer(tanh.mutable_neuralnetwork(), "act", {"image"}, "out")->mutable_activation(),
                    30);
    EXPECT_THAT(loadError(tanh), AllOf(HasSubstr("act"), HasSubstr("tanh")));

    coreml::Model deconv = network();
    addConvolution(deconv.mutable_neuralnetwork(), "up", "image", "out", 3, 3, 3, randomValues(81, 1, 1), {})
        ->mutable_convolution()
        ->set_isdeconvolution(true);
    EXPECT_THAT(loadError(deconv), AllOf(HasSubstr("up"), HasSubstr("deconvolution")));

    coreml::Model mean = network();
    mean.mutable_neuralnetwork()->add_preprocessing()->mutable_meanimage()->add_meanimage(1);
    addConvolution(mean.mutable_neuralnetwork(), "copy", "image", "out", 3, 3, 1, randomValues(9, 1, 1), {});
    EXPECT_THAT(loadError(mean), HasSubstr("Mean-image"));
}

TEST_F(ImportTest, UnsupportedProgramOperationsAreNamed) {
    ProgramWriter p;
    p.input("image", {1, 3, 8, 8});
    p.constInt("axis", 1);
    p.op("softmax", {{"x", {"image"}}, {"axis", {"axis"}}}, "out");
    p.output("out");
    const std::string message = loadError(program(p));
    EXPECT_THAT(message, HasSubstr("softmax"));
    EXPECT_THAT(message, HasSubstr("\"out\""));

    ProgramWriter gatherRows;
    gatherRows.input("image", {1, 3, 8, 8});
    gatherRows.constInts("indices", {2}, {0, 1});
    gatherRows.constInt("axis", 2);
    gatherRows.op("gather", {{"x", {"image"}}, {"indices", {"indices"}}, {"axis", {"axis"}}}, "out");
    gatherRows.output("out");
    EXPECT_THAT(loadError(program(gatherRows)), HasSubstr("channel axis"));

    // An input the operation does not have is refused rather than ignored.
    ProgramWriter oldNames;
    oldNames.input("image", {1, 3, 8, 8});
    oldNames.constInt("two", 2);
    oldNames.op("upsample_nearest_neighbor", {{"x", {"image"}}, {"upscale_factor_height", {"two"}}}, "out");
    oldNames.output("out");
    EXPECT_THAT(loadError(program(oldNames)), HasSubstr("\"upscale_factor_height\" is not supported"));
}

TEST_F(ImportTest, WeightCountsAndNamesAreChecked) {
    coreml::Model shortWeights = network();
    addConvolution(shortWeights.mutable_neuralnetwork(), "conv", "image", "out", 3, 3, 3,
                   randomValues(80, 1, 1), {});
    EXPECT_THAT(loadError(shortWeights), AllOf(HasSubstr("conv"), HasSubstr("80"), HasSubstr("81")));

    coreml::Model unknownInput = network();
    addConvolution(unknownInput.mutable_neuralnetwork(), "conv", "nowhere", "out", 3, 3, 3,
                   randomValues(81, 1, 1), {});
    EXPECT_THAT(loadError(unknownInput), HasSubstr("nowhere"));

    coreml::Model noOutput = network();
    addConvolution(noOutput.mutable_neuralnetwork(), "conv", "image", "other", 3, 3, 3,
                   randomValues(81, 1, 1), {});
    EXPECT_THAT(loadError(noOutput), HasSubstr("\"out\""));

    // Channels that do not line up are found at load, at the default input size.
    coreml::Model mismatch = network();
    addConvolution(mismatch.mutable_neuralnetwork(), "a", "image", "f", 3, 4, 3, randomValues(108, 1, 1), {});
    addConvolution(mismatch.mutable_neuralnetwork(), "b", "f", "out", 5, 3, 3, randomValues(135, 1, 1), {});
    EXPECT_THAT(loadError(mismatch), AllOf(HasSubstr("'b'"), HasSubstr("5 input channels")));

    // An output image must have three channels.
    coreml::Model wide = network();
    addConvolution(wide.mutable_neuralnetwork(), "a", "image", "out", 3, 4, 3, randomValues(108, 1, 1), {});
    EXPECT_THAT(loadError(wide), HasSubstr("4 channels"));
}

TEST_F(ImportTest, WeightBlobsAreValidated) {
    auto withWeight = [](const std::string& fileName) {
        ProgramWriter p;
        p.input("image", {1, 3, 8, 8});
        p.constFloat("w", {3, 3, 1, 1}, randomValues(9, 1, 1), Precision::fp16, Storage::blob);
        p.op("conv", {{"x", {"image"}}, {"weight", {"w"}}}, "out");
        p.output("out");
        coreml::Model m = program(p);
        auto* val = &(*m.mutable_mlprogram()->mutable_functions())["main"];
        auto* block = &(*val->mutable_block_specializations())["CoreML5"];
        auto& blob = *(*block->mutable_operations(0)->mutable_attributes())["val"].mutable_blobfilevalue();
        if (!fileName.empty()) blob.set_filename(fileName);
        return std::make_pair(m, p.weightBytes());
    };

    auto [good, bytes] = withWeight("");
    auto damage = [&, bytes = bytes](size_t at, char value) {
        std::string b = bytes;
        b[at] = value;
        return b;
    };
    EXPECT_THAT(loadError(good, damage(64, 0)), HasSubstr("no blob record"));
    EXPECT_THAT(loadError(good, damage(68, 2)), HasSubstr("data type 2"));
    EXPECT_THAT(loadError(good, damage(72, 17)), HasSubstr("17 bytes"));
    EXPECT_THAT(loadError(good, damage(85, 0x10)), HasSubstr("beyond the end"));
    EXPECT_THAT(loadError(good, damage(4, 1)), HasSubstr("blob storage format"));
    EXPECT_THAT(loadError(withWeight("@model_path/../../etc/passwd").first, bytes),
                HasSubstr("not inside the model"));
    EXPECT_THAT(loadError(withWeight("/etc/passwd").first, bytes), HasSubstr("not inside the model"));
    EXPECT_THAT(loadError(withWeight("@model_path/weights/other.bin").first, bytes),
                HasSubstr("Cannot read"));
}

TEST_F(ImportTest, ProgramStructureIsChecked) {
    ProgramWriter p;
    p.input("image", {1, 3, 8, 8});
    p.op("relu", {{"x", {"later"}}}, "out");
    p.output("out");
    EXPECT_THAT(loadError(program(p)), HasSubstr("\"later\""));

    ProgramWriter wrongOutput;
    wrongOutput.input("image", {1, 3, 8, 8});
    wrongOutput.op("relu", {{"x", {"image"}}}, "other");
    wrongOutput.output("other");
    EXPECT_THAT(loadError(program(wrongOutput)), HasSubstr("does not return the output \"out\""));

    coreml::Model noMain = program(wrongOutput);
    auto function = noMain.mlprogram().functions().at("main");
    noMain.mutable_mlprogram()->mutable_functions()->clear();
    (*noMain.mutable_mlprogram()->mutable_functions())["other"] = function;
    EXPECT_THAT(loadError(noMain), HasSubstr("\"main\""));

    ProgramWriter batched;
    batched.input("image", {2, 3, 8, 8});
    batched.op("relu", {{"x", {"image"}}}, "out");
    batched.output("out");
    EXPECT_THAT(loadError(program(batched)), HasSubstr("batch"));

    ProgramWriter dynamicWeights;
    dynamicWeights.input("image", {1, 3, 8, 8});
    dynamicWeights.op("conv", {{"x", {"image"}}, {"weight", {"image"}}}, "out");
    dynamicWeights.output("out");
    EXPECT_THAT(loadError(program(dynamicWeights)), HasSubstr("must be a constant"));
}

} // namespace
} // namespace lumavane::ml
