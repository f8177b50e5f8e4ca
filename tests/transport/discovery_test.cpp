#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"
#include "transport/transport_state.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qdp::test {
namespace {

std::string CurrentPath() { return Transport.DevicePath.data(); }

std::uint16_t CachedPageSize() { return Transport.FlashParams.pageSize; } // a packed field

std::string PathOf(int drive) { return std::string("\\\\.\\PHYSICALDRIVE") + char('0' + drive); }

// Drives the trace shows commands for, with their opcodes, in order.
std::vector<std::pair<int, std::uint8_t>> Sent() {
    std::vector<std::pair<int, std::uint8_t>> sent;
    for (const auto& record : Host().Trace()) {
        sent.emplace_back(record.drive, record.block[0]);
    }
    return sent;
}

TEST(Discovery, WithNoRecorderNothingIsListedOrSelected) {
    std::array<char*, 9> devices;
    devices.fill(reinterpret_cast<char*>(0x1)); // must stay untouched
    EXPECT_EQ(QDp_GetDevices(devices.data()), 0);
    for (char* entry : devices) {
        EXPECT_EQ(entry, reinterpret_cast<char*>(0x1));
    }
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(CurrentPath(), PathOf(8));
    EXPECT_EQ(Host().FailedOpens(), 18); // drives 0 to 8, twice
}

TEST(Discovery, AProbeIsInquiryThenFlashParametersThenReadCapacity) {
    Host().AttachRecorder(1);
    char* name = nullptr;
    ASSERT_EQ(QDp_IsConnected(&name), 1);
    ASSERT_EQ(Host().Trace().size(), 3u);
    const auto& trace = Host().Trace();
    EXPECT_EQ(trace[0].block, Block({0x12}));
    EXPECT_EQ(trace[0].length, 2048u);
    EXPECT_EQ(trace[1].block, Block({0xC8, 0x00}));
    EXPECT_EQ(trace[1].length, 12u);
    EXPECT_EQ(trace[2].block, Block({0x25}));
    EXPECT_EQ(trace[2].length, 8u);
    for (const auto& record : trace) {
        EXPECT_EQ(record.direction, 1);
        EXPECT_EQ(record.drive, 1);
    }
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name), PathOf(1));
    std::free(name);
}

TEST(Discovery, OtherDisksReceiveOnlyInquiry) {
    Host().AttachOtherDisk(0);
    Host().AttachOtherDisk(2);
    Host().AttachRecorder(3);
    std::array<char*, 9> devices{};
    ASSERT_EQ(QDp_GetDevices(devices.data()), 1);
    const std::vector<std::pair<int, std::uint8_t>> expected = {
        {0, 0x12}, {2, 0x12}, {3, 0x12}, {3, 0xC8}, {3, 0x25}};
    EXPECT_EQ(Sent(), expected);
    delete[] devices[0];
}

TEST(Discovery, ListingNamesEveryRecorderAndSelectsNone) {
    sim::Geometry small;
    small.pageSize = 512;
    sim::Geometry large;
    large.pageSize = 4096;
    large.sectorSize = 2048;
    Host().AttachRecorder(1, small);
    Host().AttachRecorder(3, large);
    std::array<char*, 9> devices{};
    ASSERT_EQ(QDp_GetDevices(devices.data()), 2);
    EXPECT_EQ(std::string(devices[0]), PathOf(1));
    EXPECT_EQ(std::string(devices[1]), PathOf(3));
    EXPECT_EQ(devices[2], nullptr);
    // Nothing was selected before, and nothing is now.
    EXPECT_EQ(CurrentPath(), "\\\\.\\PHYSICALDRIVEx");
    EXPECT_EQ(CachedPageSize(), 0);
    EXPECT_EQ(QDp_GetSectorSize(), 512u);

    // Selecting a listed name probes it again and reloads the caches from it.
    char* name = devices[0];
    ASSERT_EQ(QDp_IsConnected(&name), 1);
    EXPECT_EQ(name, devices[0]);
    EXPECT_EQ(CachedPageSize(), 512);
    EXPECT_EQ(QDp_GetSectorSize(), 512u);
    delete[] devices[0]; // C++ callers release entries with delete[]
    delete[] devices[1];
}

TEST(Discovery, AfterAListingCommandsStillGoToTheRecorderSelectedBefore) {
    sim::Geometry selectedGeometry;
    selectedGeometry.pageSize = 512;
    Host().AttachRecorder(1, selectedGeometry);
    Host().AttachRecorder(3);
    Host().AttachOtherDisk(8);
    char* name = nullptr;
    ASSERT_EQ(QDp_IsConnected(&name), 1);
    std::array<char*, 9> devices{};
    ASSERT_EQ(QDp_GetDevices(devices.data()), 2);
    QDp_FreeDevices(devices.data(), 2);
    Host().ClearTrace();
    std::vector<std::uint8_t> page(512, 0x3C);
    ASSERT_EQ(QDp_WritePages(7, page.data(), 1), 1);
    ASSERT_EQ(QDp_EraseBlocks(64, 1), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    for (const auto& record : Host().Trace()) {
        EXPECT_EQ(record.drive, 1);
    }
    EXPECT_EQ(Host().Trace()[0].length, 512u); // the selected recorder's page size
    EXPECT_EQ(CurrentPath(), PathOf(1));
    std::free(name);
}

TEST(Discovery, FreeingAListReleasesAndClearsItsEntries) {
    Host().AttachRecorder(0);
    Host().AttachRecorder(5);
    std::array<char*, 9> devices;
    devices.fill(nullptr);
    ASSERT_EQ(QDp_GetDevices(devices.data()), 2);
    QDp_FreeDevices(devices.data(), 2); // under ASan a mismatched release would fail here
    EXPECT_EQ(devices[0], nullptr);
    EXPECT_EQ(devices[1], nullptr);
    QDp_FreeDevices(nullptr, 3);
    QDp_FreeDevices(devices.data(), 0);
}

TEST(Discovery, AScanSelectsTheLowestRecorder) {
    sim::Geometry second;
    second.pageSize = 4096;
    Host().AttachRecorder(1);
    Host().AttachRecorder(3, second);
    char* name = nullptr;
    ASSERT_EQ(QDp_IsConnected(&name), 1);
    EXPECT_EQ(std::string(name), PathOf(1));
    EXPECT_EQ(CurrentPath(), PathOf(1));
    EXPECT_EQ(CachedPageSize(), 2048);
    std::free(name);
}

TEST(Discovery, ARecorderOnDriveNineIsNeverFound) {
    Host().AttachRecorder(9);
    std::array<char*, 9> devices{};
    EXPECT_EQ(QDp_GetDevices(devices.data()), 0);
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Discovery, OneDifferingInquiryByteIsNotARecorder) {
    for (const auto& [at, value] : {std::pair{32, 0x31}, std::pair{13, 0x20}, std::pair{1, 0x00}}) {
        ResetProcess();
        Host().AttachRecorder(0).inquiry[at] = static_cast<std::uint8_t>(value);
        char* name = nullptr;
        EXPECT_EQ(QDp_IsConnected(&name), 0) << "byte " << at;
        EXPECT_EQ(Host().Trace().size(), 1u) << "only INQUIRY reaches it";
    }
}

TEST(Discovery, BytesAfterTheFirst36AreIgnored) {
    auto& inquiry = Host().AttachRecorder(0).inquiry;
    inquiry.insert(inquiry.end(), {'x', 'y', 'z'});
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 1);
    std::free(name);
}

TEST(Discovery, AShortInquiryReplyNeverMatchesEvenAfterARecorderAnswered) {
    Host().AttachRecorder(0);
    Host().AttachOtherDisk(1);
    const auto& identity = sim::wire::kIdentity;
    Host().OtherDiskIdentity(1).assign(identity.begin(), identity.begin() + 20);
    std::array<char*, 9> devices{};
    ASSERT_EQ(QDp_GetDevices(devices.data()), 1);
    EXPECT_EQ(Commands(0xC8).size(), 1u); // only the recorder got the vendor command
    delete[] devices[0];
}

TEST(Discovery, ANamedDriveWithoutARecorderKeepsItsName) {
    Host().AttachRecorder(2);
    std::string named = PathOf(5);
    char* name = named.data();
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_EQ(name, named.data());
    EXPECT_EQ(CurrentPath(), PathOf(5));
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Discovery, ATooLongNameIsRefusedWithoutTouchingTheDevicePath) {
    Host().AttachRecorder(0);
    std::string longName = PathOf(0) + "0";
    char* name = longName.data();
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_EQ(CurrentPath(), "\\\\.\\PHYSICALDRIVEx");
    EXPECT_EQ(Host().FailedOpens(), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Discovery, NullArgumentsSendNothing) {
    Host().AttachRecorder(0);
    EXPECT_EQ(QDp_IsConnected(nullptr), 0);
    EXPECT_EQ(QDp_GetDevices(nullptr), 0);
    EXPECT_TRUE(Host().Trace().empty());
    EXPECT_EQ(CurrentPath(), "\\\\.\\PHYSICALDRIVEx");
}

TEST(Discovery, TheSectorSizeIsReadBigEndian) {
    for (const std::uint32_t size : {512u, 2048u, 0x01020304u}) {
        ResetProcess();
        sim::Geometry geometry;
        geometry.sectorSize = size;
        Host().AttachRecorder(0, geometry);
        char* name = nullptr;
        ASSERT_EQ(QDp_IsConnected(&name), 1);
        EXPECT_EQ(QDp_GetSectorSize(), size);
        EXPECT_EQ(Commands(0x25)[0].data[4], size >> 24);
        std::free(name);
    }
}

TEST(Discovery, AFailedReadCapacityKeepsTheSectorSizeButNotTheFlashParameters) {
    sim::Geometry geometry;
    geometry.pageSize = 4096;
    geometry.sectorSize = 4096;
    Host().AttachRecorder(0, geometry);
    Host().AddFault({[](const sim::CommandView& v) { return v.block[0] == 0x25; },
                     sim::FaultAction::FailCommand});
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_EQ(CachedPageSize(), 4096);
    EXPECT_EQ(QDp_GetSectorSize(), 512u);
}

TEST(Discovery, AFailedFlashParameterCommandSkipsReadCapacity) {
    Host().AttachRecorder(0);
    Host().AddFault({[](const sim::CommandView& v) { return v.block[0] == 0xC8; },
                     sim::FaultAction::FailCommand});
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_TRUE(Commands(0x25).empty());
}

TEST(Discovery, BeforeAnyIdentificationTheCachesHoldTheirStartValues) {
    ::FlashParams params;
    std::memset(&params, 0xAA, sizeof params);
    QDp_GetFlashParams(&params);
    const std::array<std::uint8_t, 12> zeros{};
    EXPECT_EQ(std::memcmp(&params, zeros.data(), zeros.size()), 0);
    EXPECT_EQ(QDp_GetSectorSize(), 512u);
}

} // namespace
} // namespace qdp::test
