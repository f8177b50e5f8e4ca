#include "platform/embedded_images.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace qdp::os {
namespace {

std::array<char, 255> OwnPath() {
    std::array<char, 255> path{};
    ProgramPath("", path);
    return path;
}

TEST(WindowsResources, TheImagesAreReadFromTheProgramsOwnFile) {
    const auto path = OwnPath();
    for (const char* name : {"FWC", "BRC"}) {
        std::vector<std::uint8_t> image(0xFC00);
        ASSERT_TRUE(ReadImageResource(path.data(), name, image)) << name;
        const auto committed = FindEmbeddedImage(name);
        ASSERT_EQ(committed.size(), 65536u);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), committed.begin())) << name;
    }
}

TEST(WindowsResources, AMissingOrTooShortImageIsReported) {
    const auto path = OwnPath();
    std::vector<std::uint8_t> image(0xFC00);
    EXPECT_FALSE(ReadImageResource(path.data(), "XYZ", image));
    std::vector<std::uint8_t> tooMuch(65537);
    EXPECT_FALSE(ReadImageResource(path.data(), "FWC", tooMuch));
    EXPECT_FALSE(ReadImageResource("C:\\no\\such\\program.exe", "FWC", image));
}

} // namespace
} // namespace qdp::os
