#include "Platform/Foundation/PlatformError.hpp"

#include <gtest/gtest.h>

namespace lumavane {
namespace {

TEST(PlatformError, DescribesItselfLikeThePlatformWithTypographicApostrophe) {
    const PlatformError error("Lumavane.PixelBuffer", -6689);
    // U+2019 RIGHT SINGLE QUOTATION MARK, not an ASCII apostrophe.
    const std::string expected =
        "The operation couldn\xE2\x80\x99t be completed. (Lumavane.PixelBuffer error -6689.)";
    EXPECT_EQ(error.localizedDescription(), expected);
    EXPECT_STREQ(error.what(), expected.c_str());
    EXPECT_FALSE(error.localizedDescriptionIfSet().has_value());
    EXPECT_EQ(error.domain(), "Lumavane.PixelBuffer");
    EXPECT_EQ(error.code(), -6689);
}

TEST(PlatformError, GivenDescriptionIsUsedVerbatim) {
    const PlatformError error("Lumavane.Model", 3, "モデルを読み込めません。");
    EXPECT_EQ(error.localizedDescription(), "モデルを読み込めません。");
    EXPECT_STREQ(error.what(), "モデルを読み込めません。");
    EXPECT_EQ(error.localizedDescriptionIfSet(), std::optional<std::string>("モデルを読み込めません。"));

    // An empty description is still a description.
    EXPECT_EQ(PlatformError("D", 1, "").localizedDescription(), "");
}

TEST(PlatformError, IsCaughtAsStdException) {
    try {
        throw PlatformError("Lumavane.Test", 0);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "The operation couldn\u2019t be completed. (Lumavane.Test error 0.)");
    }
}

} // namespace
} // namespace lumavane
