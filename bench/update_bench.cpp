// A full update with boot-loader replacement, and a full scan of nine drives, on the
// virtual recorder with its virtual clock.
#include "app/updater.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>

namespace {

using namespace qdp;

// The 512 MiB example geometry: 4,096 blocks of 64 pages of 2 KiB.
// Per run: the two erases (status record, installer's mark) and a restart before it,
// its programming, a restart after it.
constexpr double kCommandFloor = 4 + 2 * (2 + 2 + 1 + 3498 + 1) + 56; // 7,068

int RunUpdate() {
    test::ResetProcess();
    test::AttachStandardRecorder(0, 0x0102, 0x0204);
    test::Host().Type("YLY.");
    std::string program = "QDp_FW_FirstUpdater";
    char* argv[] = {program.data(), nullptr};
    return UpdaterMain(1, argv);
}

void BM_FullUpdate(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(RunUpdate());
    }
    const auto& trace = test::Host().Trace();
    const auto probes = std::count_if(trace.begin(), trace.end(),
                                      [](const auto& record) { return record.block[0] == 0x12; });
    state.counters["commands"] = static_cast<double>(trace.size());
    state.counters["floor"] = kCommandFloor;
    state.counters["probes"] = static_cast<double>(probes);
    state.counters["probe_commands"] = static_cast<double>(trace.size()) - kCommandFloor;
    state.counters["virtual_s"] = static_cast<double>(test::Host().NowMs()) / 1000.0;
}
BENCHMARK(BM_FullUpdate)->Unit(benchmark::kMillisecond);

void BM_ScanNineDrives(benchmark::State& state) {
    test::ResetProcess();
    for (int drive : {0, 2, 4}) {
        test::Host().AttachOtherDisk(drive);
    }
    test::Host().AttachRecorder(8);
    // Each scan costs virtual time: millions of them pass the host's hour.
    test::Host().timeLimitMs = std::numeric_limits<decltype(test::Host().timeLimitMs)>::max();
    std::array<char*, 9> devices{};
    std::size_t commands = 0;
    for (auto _ : state) {
        if (QDp_GetDevices(devices.data()) != 1) {
            state.SkipWithError("the recorder was not found");
            break;
        }
        delete[] devices[0];
        commands = test::Host().Trace().size();
        test::Host().ClearTrace();
    }
    state.counters["commands"] = static_cast<double>(commands);
}
BENCHMARK(BM_ScanNineDrives)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
