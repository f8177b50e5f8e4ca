#include "platform/linux/sg_request.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qdp::os::linux_sg {
namespace {

const unsigned char kCdb[16] = {0x28, 0, 0, 0, 0x0F, 0xA0, 0, 0, 0x80};

TEST(SgRequest, DriveNumbersMapToGenericDevices) {
    EXPECT_EQ(NodeForDevicePath("\\\\.\\PHYSICALDRIVE0"), "/dev/sg0");
    EXPECT_EQ(NodeForDevicePath("\\\\.\\PHYSICALDRIVE8"), "/dev/sg8");
    EXPECT_EQ(NodeForDevicePath("\\\\.\\PHYSICALDRIVE12"), "/dev/sg12");
    EXPECT_EQ(NodeForDevicePath("\\\\.\\PHYSICALDRIVEx"), std::nullopt);
    EXPECT_EQ(NodeForDevicePath("\\\\.\\PHYSICALDRIVE"), std::nullopt);
    EXPECT_EQ(NodeForDevicePath("/dev/sda"), std::nullopt);
    EXPECT_EQ(NodeForDevicePath("\\\\.\\PHYSICALDRIVE1/../x"), std::nullopt);
}

TEST(SgRequest, ADataInCommandReadsFromTheDevice) {
    unsigned char data[65536];
    SenseArea sense{};
    const sg_io_hdr_t header = BuildHeader({1, kCdb, data, sizeof data}, sense);
    EXPECT_EQ(header.interface_id, 'S');
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(header.cmd_len, 16);
    EXPECT_EQ(header.cmdp, kCdb);
    EXPECT_EQ(header.dxferp, data);
    EXPECT_EQ(header.dxfer_len, 65536u);
    EXPECT_EQ(header.sbp, sense.data());
    EXPECT_EQ(header.mx_sb_len, 24);
    EXPECT_EQ(sense.size(), 32u);
    EXPECT_EQ(header.timeout, 2000u);
    EXPECT_EQ(header.iovec_count, 0);
    EXPECT_EQ(header.flags, 0u);
}

TEST(SgRequest, ADataOutCommandWritesToTheDevice) {
    unsigned char data[36] = {};
    SenseArea sense{};
    const sg_io_hdr_t header = BuildHeader({0, kCdb, data, sizeof data}, sense);
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(header.dxfer_len, 36u);
}

TEST(SgRequest, ACommandWithoutDataMovesNothing) {
    SenseArea sense{};
    const sg_io_hdr_t header = BuildHeader({0, kCdb, nullptr, 0}, sense);
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(header.dxfer_len, 0u);
    EXPECT_EQ(header.dxferp, nullptr);
}

TEST(SgRequest, SuccessNeedsDeviceAdapterAndDriverAllGood) {
    SenseArea sense{};
    sg_io_hdr_t header{};
    EXPECT_TRUE(ResultOf(header, sense).Good());
    header.status = 0x02; // CHECK CONDITION
    EXPECT_FALSE(ResultOf(header, sense).Good());
    header = {};
    header.host_status = 0x01;
    EXPECT_FALSE(ResultOf(header, sense).Good());
    header = {};
    header.driver_status = 0x08;
    EXPECT_FALSE(ResultOf(header, sense).Good());
}

TEST(SgRequest, TheResultCarriesSenseStatusesAndTheBytesMoved) {
    SenseArea sense{};
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[12] = 0x24;
    sg_io_hdr_t header{};
    header.status = 0x02;
    header.host_status = 0x07;
    header.driver_status = 0x08;
    header.sb_len_wr = 18;
    header.dxfer_len = 2048;
    header.resid = 2012;
    const PassThroughResult result = ResultOf(header, sense);
    EXPECT_TRUE(result.carriedOut);
    EXPECT_EQ(result.scsiStatus, 0x02);
    EXPECT_EQ(result.hostStatus, 0x07);
    EXPECT_EQ(result.driverStatus, 0x08);
    EXPECT_EQ(result.senseLength, 18);
    EXPECT_EQ(result.sense[12], 0x24);
    EXPECT_EQ(result.transferred, 36u);
    header.resid = 5000; // more than was asked for: nothing moved, not a wrap
    EXPECT_EQ(ResultOf(header, sense).transferred, 0u);
}

TEST(SgRequest, OpenFailuresAreToldApart) {
    EXPECT_EQ(OpenErrorFor(ENOENT), OpenError::NoSuchDevice);
    EXPECT_EQ(OpenErrorFor(ENXIO), OpenError::NoSuchDevice);
    EXPECT_EQ(OpenErrorFor(EACCES), OpenError::PermissionDenied);
    EXPECT_EQ(OpenErrorFor(EPERM), OpenError::PermissionDenied);
    EXPECT_EQ(OpenErrorFor(EBUSY), OpenError::Busy);
    EXPECT_EQ(OpenErrorFor(EIO), OpenError::Other);
}

} // namespace
} // namespace qdp::os::linux_sg
