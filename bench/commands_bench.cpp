// What each device command costs the device-access code itself: heap allocations
// (counted by replacing the global allocator) and CPU time, against a recorder that
// answers from fixed storage.
#include "controller/controller_commands.h"
#include "include/QDp_FW_FirstUpdater.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
std::atomic<long> allocations{0};
} // namespace

// The replacement pair below allocates with malloc and frees with free; GCC cannot
// see that they belong together once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

char* Select() {
    char* name = nullptr;
    QDp_IsConnected(&name);
    return name;
}

// Runs `body`, which sends `commandsPerCall` commands, and reports allocations per command.
template <class Body> void PerCommand(benchmark::State& state, int commandsPerCall, Body body) {
    std::free(Select());
    const long before = allocations.load();
    for (auto _ : state) {
        body();
    }
    const double commands = static_cast<double>(state.iterations()) * commandsPerCall;
    state.counters["allocations_per_command"] =
        static_cast<double>(allocations.load() - before) / commands;
    state.counters["commands"] = benchmark::Counter(commands, benchmark::Counter::kIsRate);
}

void BM_MemoryWrite(benchmark::State& state) {
    std::uint8_t piece[32] = {};
    PerCommand(state, 2,
               [&] { benchmark::DoNotOptimize(qdp::Ctrl_WriteMemory(0x1000, 32, piece)); });
}
BENCHMARK(BM_MemoryWrite);

void BM_MemoryRead(benchmark::State& state) {
    std::uint8_t bytes[64];
    PerCommand(state, 2,
               [&] { benchmark::DoNotOptimize(qdp::Ctrl_ReadMemory(0xD800, 64, bytes)); });
}
BENCHMARK(BM_MemoryRead);

void BM_ReadPages(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(32 * 2048);
    PerCommand(state, 1, [&] { benchmark::DoNotOptimize(QDp_ReadPages(0, buffer.data(), 32)); });
}
BENCHMARK(BM_ReadPages);

void BM_EraseBlocks(benchmark::State& state) {
    PerCommand(state, 1, [&] { benchmark::DoNotOptimize(QDp_EraseBlocks(32768, 64)); });
}
BENCHMARK(BM_EraseBlocks);

void BM_Probe(benchmark::State& state) {
    char* name = Select();
    PerCommand(state, 3, [&] { benchmark::DoNotOptimize(QDp_IsConnected(&name)); });
    std::free(name);
}
BENCHMARK(BM_Probe);

} // namespace

BENCHMARK_MAIN();
