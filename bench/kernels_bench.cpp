// Throughput of each hex rendering version, in bytes of input per second.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "patch/hex_kernels.hpp"

namespace {

void RenderKernel(benchmark::State& state, patch::HexKernel kernel) {
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(3);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    std::string out(2 * size, '\0');
    for (auto _ : state) {
        kernel(bytes, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

const int kRegistered = [] {
    for (const auto& kernel : patch::AvailableHexKernels()) {
        benchmark::RegisterBenchmark(("Render/" + std::string(kernel.name)).c_str(), RenderKernel, kernel.render)
            ->Arg(4 << 10)
            ->Arg(1 << 20)
            ->Arg(64 << 20);
    }
    return 0;
}();

}  // namespace
