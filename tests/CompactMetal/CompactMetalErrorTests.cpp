#include "CompactMetal/CompactMetalError.hpp"

#include <gtest/gtest.h>

namespace lumavane {
namespace {

TEST(CompactMetalError, RequireThrowsTheCheckErrorWithTheMessageAsDescription) {
    EXPECT_NO_THROW(require(true, "Invalid weights"));
    try {
        require(false, "Invalid weights");
        FAIL() << "require(false) returned";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "DirectMetalProbe");
        EXPECT_EQ(error.code(), 1);
        EXPECT_EQ(error.localizedDescription(), "Invalid weights");
        EXPECT_EQ(error.localizedDescriptionIfSet(), "Invalid weights");
        EXPECT_STREQ(error.what(), "Invalid weights");
    }
    // Japanese messages pass through byte for byte.
    const std::string limit = "Metal出力上限（各辺8192px・約33MP）を超えています。";
    try {
        require(false, limit);
        FAIL();
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.localizedDescription(), limit);
    }
}

TEST(CompactMetalError, DomainOnlyKindsHaveNoDescriptionOfTheirOwn) {
    for (const PlatformError& error :
         {CompactMetalError::metalUnavailable(), CompactMetalError::rectangularAllocation()}) {
        EXPECT_EQ(error.code(), 1);
        EXPECT_FALSE(error.localizedDescriptionIfSet().has_value());
        EXPECT_EQ(error.localizedDescription(),
                  "The operation couldn\u2019t be completed. (" + error.domain() + " error 1.)");
    }
    EXPECT_EQ(CompactMetalError::metalUnavailable().domain(), "Metal unavailable");
    EXPECT_EQ(CompactMetalError::rectangularAllocation().domain(), "Rectangular allocation");
}

TEST(CompactMetalError, EngineSpecificKinds) {
    const PlatformError kernel = CompactMetalError::spanMissingKernel("spanFinish2x");
    EXPECT_EQ(kernel.domain(), "SPANMetal");
    EXPECT_EQ(kernel.code(), 2);
    EXPECT_EQ(kernel.localizedDescription(), "Missing kernel spanFinish2x");

    const PlatformError convolution = CompactMetalError::spanMissingConvolution("block_1.c1_r");
    EXPECT_EQ(convolution.domain(), "SPANMetal");
    EXPECT_EQ(convolution.code(), 3);
    EXPECT_EQ(convolution.localizedDescription(), "Missing convolution block_1.c1_r");

    const PlatformError probe = CompactMetalError::realCUGANProbe("Layer weights not found");
    EXPECT_EQ(probe.domain(), "RealCUGANConvProbe");
    EXPECT_EQ(probe.code(), 1);
    EXPECT_EQ(probe.localizedDescription(), "Layer weights not found");
}

} // namespace
} // namespace lumavane
