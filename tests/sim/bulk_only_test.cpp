// The USB recorder's Bulk-Only Transport, against pipes in memory: what a USB disk
// answers to good wrappers, to malformed ones, to wrong lengths and directions, and to
// commands it does not know.
#include "sim/usb/bulk_only.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace qdp::sim::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Pipes : public BulkPipes {
  public:
    std::deque<Bytes> fromHost; // transfers the host sends
    std::vector<Bytes> toHost;  // transfers the recorder sent
    int inStalls = 0;
    int outStalls = 0;

    long Receive(std::span<std::uint8_t> buffer) override {
        if (fromHost.empty()) {
            return -1;
        }
        Bytes transfer = fromHost.front();
        fromHost.pop_front();
        const std::size_t size = std::min(transfer.size(), buffer.size());
        std::copy_n(transfer.begin(), size, buffer.begin());
        return static_cast<long>(size);
    }
    bool Send(std::span<const std::uint8_t> data) override {
        toHost.emplace_back(data.begin(), data.end());
        return true;
    }
    void StallIn() override { ++inStalls; }
    void StallOut() override { ++outStalls; }
};

Bytes Wrapper(std::uint32_t tag, std::uint32_t length, bool in, Bytes block, std::uint8_t lun = 0) {
    Bytes cbw(31, 0);
    const std::uint32_t fields[3] = {0x43425355, tag, length};
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 4; ++i) {
            cbw[f * 4 + i] = static_cast<std::uint8_t>(fields[f] >> (8 * i));
        }
    }
    cbw[12] = in ? 0x80 : 0x00;
    cbw[13] = lun;
    cbw[14] = static_cast<std::uint8_t>(block.size());
    std::copy(block.begin(), block.end(), cbw.begin() + 15);
    return cbw;
}

// The status wrapper the host expects: "USBS", tag, residue, status.
Bytes Status(std::uint32_t tag, std::uint32_t residue, std::uint8_t status) {
    Bytes csw = {0x55, 0x53, 0x42, 0x53};
    for (const std::uint32_t value : {tag, residue}) {
        for (int i = 0; i < 4; ++i) {
            csw.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    csw.push_back(status);
    return csw;
}

class BulkOnly : public testing::Test {
  protected:
    VirtualRecorder recorder;
    BulkOnlyTarget target{recorder};
    Pipes pipes;

    Served Serve(Bytes cbw, std::vector<Bytes> data = {}) {
        pipes.fromHost.push_back(std::move(cbw));
        for (Bytes& transfer : data) {
            pipes.fromHost.push_back(std::move(transfer));
        }
        return target.ServeOne(pipes);
    }

    // The sense REQUEST SENSE reports now: key, ASC, ASCQ.
    Bytes Sense() {
        pipes.toHost.clear();
        Serve(Wrapper(99, 18, true, {0x03, 0, 0, 0, 18, 0}));
        const Bytes& data = pipes.toHost.at(0);
        return {static_cast<std::uint8_t>(data.at(2) & 0x0F), data.at(12), data.at(13)};
    }
};

TEST_F(BulkOnly, AnInquiryOfItsOwnLengthPasses) {
    const Served served = Serve(Wrapper(7, 36, true, {0x12, 0, 0, 0, 36, 0}));
    EXPECT_EQ(served.kind, Served::Kind::Command);
    ASSERT_EQ(pipes.toHost.size(), 2u);
    EXPECT_EQ(pipes.toHost[0].size(), 36u);
    EXPECT_EQ(pipes.toHost[0][8], 'C');
    EXPECT_EQ(pipes.toHost[1], Status(7, 0, 0));
    EXPECT_EQ(pipes.inStalls, 0);
}

TEST_F(BulkOnly, LessDataThanTheHostAskedForEndsWithAStallAndAResidue) {
    // The updater's INQUIRY: allocation length 0, 2,048 bytes asked of the transport.
    Bytes block(16, 0);
    block[0] = 0x12;
    Serve(Wrapper(8, 2048, true, block));
    ASSERT_EQ(pipes.toHost.size(), 2u);
    EXPECT_EQ(pipes.toHost[0].size(), 36u);
    EXPECT_EQ(pipes.inStalls, 1);
    EXPECT_EQ(pipes.toHost[1], Status(8, 2012, 0));
}

TEST_F(BulkOnly, MalformedWrappersStallBothPipesAndGetNoStatus) {
    Bytes badSignature = Wrapper(1, 0, false, {0x00});
    badSignature[0] = 0x56;
    Bytes shortWrapper = Wrapper(1, 0, false, {0x00});
    shortWrapper.pop_back();
    Bytes longWrapper = Wrapper(1, 0, false, {0x00});
    longWrapper.push_back(0);
    Bytes reservedFlags = Wrapper(1, 0, false, {0x00});
    reservedFlags[12] = 0x40;
    Bytes tooLongBlock = Wrapper(1, 0, false, {0x00});
    tooLongBlock[14] = 17;
    const std::vector<Bytes> wrappers = {badSignature,
                                         shortWrapper,
                                         longWrapper,
                                         reservedFlags,
                                         tooLongBlock,
                                         Wrapper(1, 0, false, {}),        // no block
                                         Wrapper(1, 0, false, {0x00}, 1), // LUN 1
                                         Bytes(512, 0xA5)};               // data, not a wrapper
    for (const Bytes& wrapper : wrappers) {
        pipes = Pipes{};
        EXPECT_EQ(Serve(wrapper).kind, Served::Kind::InvalidWrapper);
        EXPECT_EQ(pipes.inStalls, 1);
        EXPECT_EQ(pipes.outStalls, 1);
        EXPECT_TRUE(pipes.toHost.empty());
    }
}

TEST_F(BulkOnly, AnUnknownCommandFailsWithInvalidOperationCode) {
    Serve(Wrapper(3, 64, true, {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 64, 0}));
    EXPECT_EQ(pipes.inStalls, 1);
    EXPECT_EQ(pipes.toHost.back(), Status(3, 64, 1));
    EXPECT_EQ(Sense(), (Bytes{0x05, 0x20, 0x00}));
    // An unknown command with data for the recorder: taken, dropped, failed.
    pipes = Pipes{};
    Serve(Wrapper(4, 8, false, {0xEE}), {Bytes(8, 1)});
    EXPECT_EQ(pipes.toHost.back(), Status(4, 8, 1));
    EXPECT_TRUE(pipes.fromHost.empty());
}

TEST_F(BulkOnly, DataTheWrongWayIsAPhaseError) {
    // READ(10) of one sector with data from the host.
    Serve(Wrapper(5, 512, false, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(pipes.outStalls, 1);
    EXPECT_EQ(pipes.toHost.back(), Status(5, 512, 2));
    // A page write with the host reading.
    pipes = Pipes{};
    Serve(Wrapper(6, 2048, true, {0xC8, 0x01, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(pipes.inStalls, 1);
    EXPECT_EQ(pipes.toHost.size(), 1u);
    EXPECT_EQ(pipes.toHost.back(), Status(6, 2048, 2));
    EXPECT_EQ(recorder.StoredPages(), 0u);
}

TEST_F(BulkOnly, ALengthThatDisagreesWithTheCommandIsCheckCondition) {
    // An I2C send whose block says 4 bytes, with 10 bytes from the host.
    Serve(Wrapper(9, 10, false, {0xC8, 0x02, 4}), {Bytes(10, 0x50)});
    EXPECT_EQ(pipes.toHost.back(), Status(9, 10, 1));
    EXPECT_EQ(Sense(), (Bytes{0x05, 0x24, 0x00}));
}

TEST_F(BulkOnly, DataWithACommandThatTakesNoneIsDroppedOrStalled) {
    Serve(Wrapper(10, 8, true, {0x00, 0, 0, 0, 0, 0})); // TEST UNIT READY, host reading
    EXPECT_EQ(pipes.inStalls, 1);
    EXPECT_EQ(pipes.toHost.back(), Status(10, 8, 0));
    pipes = Pipes{};
    Serve(Wrapper(11, 4, false, {0x00, 0, 0, 0, 0, 0}), {Bytes(4, 0)}); // and sending
    EXPECT_EQ(pipes.toHost.back(), Status(11, 4, 0));
}

TEST_F(BulkOnly, AnImpossibleLengthIsRefusedWithoutTryingIt) {
    Serve(Wrapper(12, 0xFFFFFFFF, true, {0x28, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0}));
    EXPECT_EQ(pipes.inStalls, 1);
    EXPECT_EQ(pipes.toHost.back(), Status(12, 0xFFFFFFFF, 1));
}

TEST_F(BulkOnly, AWriteTheHostSendsInPiecesIsGathered) {
    Bytes page(2048, 0x3C);
    Serve(Wrapper(13, 2048, false, {0xC8, 0x01, 0, 0, 0, 7, 0, 0, 1}),
          {Bytes(page.begin(), page.begin() + 512), Bytes(page.begin() + 512, page.end())});
    EXPECT_EQ(pipes.toHost.back(), Status(13, 0, 0));
    EXPECT_EQ(recorder.ReadFlash(7), page);
}

TEST_F(BulkOnly, ARestartFrameIsReportedAfterItsStatus) {
    const Served served = Serve(Wrapper(14, 2, false, {0xC8, 0x02, 2}), {Bytes{0x53, 0x00}});
    EXPECT_TRUE(served.restart);
    EXPECT_EQ(pipes.toHost.back(), Status(14, 0, 0));
}

TEST_F(BulkOnly, AnInjectedFaultFailsTheCommandWithAbortedCommand) {
    target.failCommand = [](const CommandBlock& block, std::span<const std::uint8_t>) {
        return block[0] == 0x25;
    };
    Serve(Wrapper(15, 8, true, {0x25}));
    EXPECT_EQ(pipes.toHost.back(), Status(15, 8, 1));
    EXPECT_EQ(Sense(), (Bytes{0x0B, 0x00, 0x00}));
    EXPECT_EQ(Sense(), (Bytes{0x00, 0x00, 0x00})); // reported once
}

TEST_F(BulkOnly, APipeThatFailsMidCommandGetsNoStatus) {
    const Served served =
        Serve(Wrapper(16, 2048, false, {0xC8, 0x01, 0, 0, 0, 0, 0, 0, 1}), {Bytes(512, 0)});
    EXPECT_EQ(served.kind, Served::Kind::PipeFailed);
    EXPECT_TRUE(pipes.toHost.empty());
}

} // namespace
} // namespace qdp::sim::usb
