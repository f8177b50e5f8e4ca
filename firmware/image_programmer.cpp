#include "firmware/image_programmer.h"

#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "platform/platform.h"
#include "transport/command_log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

namespace qdp {
namespace {

// The commit of a program: the piece whose bytes make the recorder start it, and
// those bytes. A firmware is started by its status record; an installer by its mark.
struct Commit {
    std::uint32_t piece;
    std::uint32_t first;
    std::uint32_t size;
};

bool IsInstaller(const ImageBuffer& image) {
    return std::equal(std::begin(kInstallerMark), std::end(kInstallerMark),
                      image.begin() + kInstallerMarkAt);
}

Commit CommitOf(const ImageBuffer& image) {
    const std::uint32_t first =
        IsInstaller(image) ? static_cast<std::uint32_t>(kInstallerMarkAt) : kFirmwareStatusAddress;
    const std::uint32_t size = IsInstaller(image)
                                   ? static_cast<std::uint32_t>(sizeof kInstallerMark)
                                   : sizeof(FirmwareStatusRecord);
    return {first - first % kProgramPiece, first, size};
}

// The page at `step` of a run: in increasing order, the commit's page last.
std::uint32_t PageAt(std::uint32_t step, std::uint32_t commitPage) {
    if (step == kProgramPages - 1) {
        return commitPage;
    }
    return step < commitPage ? step : step + 1;
}

bool WritePiece(std::uint32_t address, const std::uint8_t* bytes) {
    const bool written =
        Ctrl_WriteMemory(static_cast<std::uint16_t>(address), kProgramPiece, bytes);
    os::SleepMs(kPauseAfterWriteMs);
    return written;
}

// Reads back [first, first + size) and compares it with `expected`; a difference or a
// failed read is named in the command log.
bool ReadsBack(std::uint32_t first, std::uint32_t size, const std::uint8_t* expected) {
    std::array<std::uint8_t, kMaxMemoryRead> read{};
    for (std::uint32_t at = first; at < first + size; at += kMaxMemoryRead) {
        const auto count =
            static_cast<std::uint8_t>(std::min<std::uint32_t>(kMaxMemoryRead, first + size - at));
        std::array<char, 96> note{};
        if (!Ctrl_ReadMemory(static_cast<std::uint16_t>(at), count, read.data())) {
            std::snprintf(note.data(), note.size(), "read-back of 0x%04X failed", unsigned{at});
            LogNote(note.data());
            return false;
        }
        const auto [got, want] =
            std::mismatch(read.begin(), read.begin() + count, expected + (at - first));
        if (got != read.begin() + count) {
            const auto address = static_cast<unsigned>(at + (got - read.begin()));
            std::snprintf(note.data(), note.size(),
                          "read-back differs first at 0x%04X: 0x%02X, not 0x%02X", address,
                          unsigned{*got}, unsigned{*want});
            LogNote(note.data());
            return false;
        }
    }
    return true;
}

} // namespace

bool VerifyMemory(std::uint32_t first, std::span<const std::uint8_t> expected) {
    return ReadsBack(first, static_cast<std::uint32_t>(expected.size()), expected.data());
}

bool ProgramImage(const ImageBuffer& image, bool verify) {
    bool result = true;
    const Commit commit = CommitOf(image);
    const std::uint32_t commitPage = commit.piece / kControllerPageSize;
    for (std::uint32_t step = 0; step < kProgramPages; ++step) {
        const std::uint32_t base = PageAt(step, commitPage) * kControllerPageSize;
        if (!Ctrl_ErasePage(static_cast<std::uint16_t>(base))) {
            result = false;
        }
        for (std::uint32_t address = base; address < base + kControllerPageSize;
             address += kProgramPiece) {
            if (address != commit.piece && !WritePiece(address, &image[address])) {
                result = false;
            }
        }
        if (step < kProgramPages - 1) {
            ShowText(".");
        }
    }
    // Everything but the commit is written. Read back, the commit's piece still erased.
    std::array<std::uint8_t, kProgramPiece> piece{};
    std::copy_n(&image[commit.piece], kProgramPiece, piece.begin());
    if (result && verify) {
        ImageBuffer expected = image;
        std::fill_n(&expected[commit.piece], kProgramPiece, std::uint8_t{0xFF});
        result = ReadsBack(0, kProgramAreaSize, expected.data());
    }
    // After a failure nothing may mark the program to start: the commit goes out with
    // its marking bytes erased.
    if (!result) {
        std::fill_n(&piece[commit.first - commit.piece], commit.size, std::uint8_t{0xFF});
    }
    if (!WritePiece(commit.piece, piece.data())) {
        result = false;
    }
    // A commit stored wrongly would start a torn program: its page is erased again.
    if (result && verify && !ReadsBack(commit.piece, kProgramPiece, piece.data())) {
        static_cast<void>(
            Ctrl_ErasePage(static_cast<std::uint16_t>(commitPage * kControllerPageSize)));
        result = false;
    }
    ShowText(".");
    return result;
}

} // namespace qdp
