// The code-line hex rendering over a span of bytes: a portable version and,
// on x86-64, vector versions chosen once from the CPU's features. Every
// version writes exactly the same digits.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace patch {

// Writes two upper-case digits per byte of `bytes` to `out` (2 * bytes.size()).
using HexKernel = void (*)(std::span<const std::uint8_t> bytes, char* out);

struct NamedKernel {
    std::string_view name;
    HexKernel render;
};

// A 256-entry table of digit pairs; runs anywhere.
void RenderHexPortable(std::span<const std::uint8_t> bytes, char* out);

// Every version this CPU can run, the portable one first.
std::vector<NamedKernel> AvailableHexKernels();

// The fastest version this CPU can run.
HexKernel FastestHexKernel();

}  // namespace patch
