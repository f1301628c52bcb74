#include "Platform/Foundation/PlatformError.hpp"

#include <gtest/gtest.h>

namespace lumavane {
namespace {

TEST(PlatformError, DescribesItselfLikeThePlatformUnlessGivenADescription) {
    const PlatformError error("Lumavane.PixelBuffer", -6689);
    // U+2019 RIGHT SINGLE QUOTATION MARK, not an ASCII apostrophe.
    const std::string expected =
        "The operation couldn\xE2\x80\x99t be completed. (Lumavane.PixelBuffer error -6689.)";
    EXPECT_EQ(error.localizedDescription(), expected);
    EXPECT_STREQ(static_cast<const std::exception&>(error).what(), expected.c_str());
    EXPECT_FALSE(error.localizedDescriptionIfSet().has_value());

    const PlatformError given("Lumavane.Model", 3, "モデルを読み込めません。");
    EXPECT_STREQ(given.what(), "モデルを読み込めません。");
    EXPECT_EQ(given.localizedDescriptionIfSet(), std::optional<std::string>("モデルを読み込めません。"));
    // An empty description is still a description.
    EXPECT_EQ(PlatformError("D", 1, "").localizedDescription(), "");
}

} // namespace
} // namespace lumavane
