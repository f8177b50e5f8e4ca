#include "controller/controller_commands.h"
#include "firmware/descrambler.h"
#include "firmware/firmware_state.h"
#include "firmware/image_store.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace qdp::test {
namespace {

// The generator written out from its definition, for comparison.
std::vector<std::uint8_t> KeyStream(std::size_t count) {
    std::uint32_t state = 24681;
    state = state * 22695477u + 1; // seeding advances once
    std::vector<std::uint8_t> keys;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 22695477u + 1;
        keys.push_back(static_cast<std::uint8_t>((state >> 16) & 0x7FFF));
    }
    return keys;
}

std::vector<std::uint8_t> Scrambled(const std::vector<std::uint8_t>& plain) {
    std::vector<std::uint8_t> bytes = plain;
    ApplyKeyStream(bytes);
    return bytes;
}

TEST(Descrambler, TheFirstKeyByteComesFromTheSecondAdvance) {
    ImageBuffer image{};
    DescrambleImage(image);
    const std::vector<std::uint8_t> keys = KeyStream(0xFC00);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), keys.begin()));
    EXPECT_EQ(image[0], keys[0]);
}

TEST(Descrambler, DescramblingTwiceGivesTheImageBack) {
    ImageBuffer image{};
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    }
    const ImageBuffer original = image;
    DescrambleImage(image);
    EXPECT_NE(image, original);
    DescrambleImage(image);
    EXPECT_EQ(image, original);
}

TEST(ImageStore, BothImagesMeetTheSameKeyStream) {
    std::vector<std::uint8_t> plain(0x10000, 0x00);
    Host().imageOverrides["FWC"] = Scrambled(plain);
    Host().imageOverrides["BRC"] = Host().imageOverrides["FWC"];
    ASSERT_TRUE(LoadFirmwareImage());
    ASSERT_TRUE(LoadReplacementImage());
    EXPECT_TRUE(std::all_of(Firmware.FirmwareImage.begin(), Firmware.FirmwareImage.end(),
                            [](std::uint8_t b) { return b == 0; }));
    // The same plain bytes except where the replacement takes firmware bytes.
    EXPECT_TRUE(std::all_of(Firmware.ReplacementImage.begin(), Firmware.ReplacementImage.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(ImageStore, BytesAfterTheImageNeverReachTheBuffer) {
    std::vector<std::uint8_t> resource(0x10000, 0x00);
    std::fill(resource.begin() + 0xFC00, resource.end(), 0xAB);
    Host().imageOverrides["FWC"] = resource;
    ASSERT_TRUE(LoadFirmwareImage());
    const std::vector<std::uint8_t> keys = KeyStream(0xFC00);
    EXPECT_TRUE(
        std::equal(Firmware.FirmwareImage.begin(), Firmware.FirmwareImage.end(), keys.begin()));
}

TEST(ImageStore, TheFirmwareRecordsAreCopiedOutOfTheImage) {
    std::vector<std::uint8_t> plain(0x10000, 0x00);
    plain[0xD800] = 0x02;
    plain[0xD801] = 0x01;
    std::memcpy(&plain[0xD802], "ABCDEFG", 7);
    plain[0xD3F5] = 0x07; // firmware 3.7, stored little-endian
    plain[0xD3F6] = 0x03;
    std::memcpy(&plain[0xD3FC], "FWOK", 4);
    Host().imageOverrides["FWC"] = Scrambled(plain);
    ASSERT_TRUE(LoadFirmwareImage());
    EXPECT_EQ(Firmware.ImageBootLoaderRecord.version, 0x0201);
    EXPECT_EQ(std::memcmp(Firmware.ImageBootLoaderRecord.identification, "ABCDEFG", 7), 0);
    EXPECT_EQ(Firmware.ImageFirmwareStatus.version, 0x0307);
    EXPECT_EQ(std::memcmp(Firmware.ImageFirmwareStatus.marker, "FWOK", 4), 0);
}

TEST(ImageStore, TheReplacementImageIsPatchedFromTheFirmwareImage) {
    std::vector<std::uint8_t> firmware(0x10000), replacement(0x10000);
    for (std::size_t i = 0; i < firmware.size(); ++i) {
        firmware[i] = static_cast<std::uint8_t>(i * 3 + 1);
        replacement[i] = static_cast<std::uint8_t>(i * 5 + 2);
    }
    Host().imageOverrides["FWC"] = Scrambled(firmware);
    Host().imageOverrides["BRC"] = Scrambled(replacement);
    ASSERT_TRUE(LoadFirmwareImage());
    ASSERT_TRUE(LoadReplacementImage());
    for (std::size_t i = 0; i < 0xFC00; ++i) {
        std::uint8_t expected = replacement[i];
        if (i >= 0x2000 && i < 0x4000) {
            expected = firmware[0xD800 + (i - 0x2000)];
        } else if (i >= 0x0F00 && i <= 0x0F03) {
            const std::size_t from[] = {0x0001, 0x0002, 0x003C, 0x003D};
            expected = firmware[from[i - 0x0F00]];
        }
        ASSERT_EQ(Firmware.ReplacementImage[i], expected) << "offset " << i;
    }
    EXPECT_TRUE(
        std::equal(Firmware.FirmwareImage.begin(), Firmware.FirmwareImage.end(), firmware.begin()));
}

TEST(ImageStore, AMissingOrShortImageFailsToLoad) {
    Host().imageOverrides["FWC"] = std::vector<std::uint8_t>(0xFBFF, 0);
    EXPECT_FALSE(LoadFirmwareImage());
    Host().imageOverrides["BRC"] = {};
    EXPECT_FALSE(LoadReplacementImage());
    Host().imageOverrides["FWC"] = std::vector<std::uint8_t>(0xFC00, 0);
    EXPECT_TRUE(LoadFirmwareImage()); // exactly 0xFC00 bytes is enough
}

TEST(ImageStore, TheBufferHoldsExactly0xFC00Bytes) {
    EXPECT_EQ(sizeof Firmware.FirmwareImage, 0xFC00u);
    EXPECT_EQ(sizeof Firmware.ReplacementImage, 0xFC00u);
    // The byte before the edge is loaded, the first byte after it is not.
    std::vector<std::uint8_t> plain(0x10000, 0x00);
    plain[0xFBFF] = 0x5A;
    plain[0xFC00] = 0xA5;
    std::vector<std::uint8_t> resource = plain;
    ApplyKeyStream(resource);
    Host().imageOverrides["FWC"] = resource;
    ASSERT_TRUE(LoadFirmwareImage());
    EXPECT_EQ(Firmware.FirmwareImage[0xFBFF], 0x5A);
    EXPECT_EQ(Firmware.FirmwareImage.back(), 0x5A);
}

TEST(ImageStore, TheCommittedImagesHoldTheDocumentedRecords) {
    Host().imageOverrides["FWC"] = ReadSourceFile("resources/FWC.bin");
    Host().imageOverrides["BRC"] = ReadSourceFile("resources/BRC.bin");
    ASSERT_TRUE(LoadFirmwareImage());
    ASSERT_TRUE(LoadReplacementImage());
    EXPECT_EQ(Firmware.ImageFirmwareStatus.version, 0x0205);
    EXPECT_EQ(std::memcmp(Firmware.ImageFirmwareStatus.marker, "FWOK", 4), 0);
    EXPECT_EQ(Firmware.ImageBootLoaderRecord.version, 0x0103);
    EXPECT_EQ(std::memcmp(Firmware.ImageBootLoaderRecord.identification, "QDP+BL1", 7), 0);
    EXPECT_EQ(std::memcmp(&Firmware.ReplacementImage[0x0F08], "BLINSTAL", 8), 0);
    EXPECT_EQ(Firmware.ReplacementImage[0x2000], 0x01); // the firmware's boot-loader record
    EXPECT_EQ(Firmware.ReplacementImage[0x2001], 0x03);
}

} // namespace
} // namespace qdp::test
