#include "controller/records.h"
#include "firmware/descrambler.h"
#include "tests/support/test_support.h"
#include "tools/image_description.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qdp::test {
namespace {

tools::Resource Build(const std::string& text, std::string* error = nullptr) {
    std::istringstream description(text);
    tools::Resource image{};
    std::string message;
    const bool built = tools::BuildPlainImage(description, image, message);
    if (error != nullptr) {
        *error = built ? "" : message;
    }
    return image;
}

TEST(ImageDescription, TheCommittedImagesAreBuiltFromTheirDescriptions) {
    for (const std::string name : {"FWC", "BRC"}) {
        const std::vector<std::uint8_t> text = ReadSourceFile("resources/" + name + ".txt");
        ASSERT_FALSE(text.empty()) << name;
        std::string error;
        tools::Resource image = Build(std::string(text.begin(), text.end()), &error);
        ASSERT_EQ(error, "");
        ApplyKeyStream(image);
        const std::vector<std::uint8_t> committed = ReadSourceFile("resources/" + name + ".bin");
        EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.end()), committed) << name;
    }
}

TEST(ImageDescription, RecordsAreLaidOutAsTheControllerStoresThem) {
    const tools::Resource image =
        Build("fill 0\nfirmware-status 2.5 FWOK\nboot-loader 1.3 QDP+BL1\n");
    EXPECT_EQ(image[kFirmwareStatusAddress], 5); // minor first
    EXPECT_EQ(image[kFirmwareStatusAddress + 1], 2);
    EXPECT_EQ(image[kFirmwareStatusAddress + 7], 'F');
    EXPECT_EQ(image[kBootLoaderRecordAddress], 1); // major first
    EXPECT_EQ(image[kBootLoaderRecordAddress + 1], 3);
    EXPECT_EQ(image[kBootLoaderRecordAddress + 2], 'Q');
}

TEST(ImageDescription, ABadLineIsReportedWithItsNumber) {
    std::string error;
    Build("fill 0xFF\nbytes 0x10000 1\n", &error);
    EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
    Build("boot-loader 1.3 SHORT\n", &error);
    EXPECT_NE(error, "");
    Build("frobnicate\n", &error);
    EXPECT_NE(error, "");
}

} // namespace
} // namespace qdp::test
