#include "patch/hex_kernels.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "patch/patch_file.hpp"

namespace {

std::string Reference(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) text += patch::HexByte(b);
    return text;
}

std::string Render(patch::HexKernel kernel, std::span<const std::uint8_t> bytes) {
    // Guard bytes after the output catch a kernel that writes too far.
    std::string out(2 * bytes.size() + 64, '#');
    kernel(bytes, out.data());
    EXPECT_EQ(out.substr(2 * bytes.size()), std::string(64, '#'));
    out.resize(2 * bytes.size());
    return out;
}

TEST(HexKernels, EveryKernelRendersEveryByteValue) {
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    for (const auto& kernel : patch::AvailableHexKernels()) {
        EXPECT_EQ(Render(kernel.render, all), Reference(all)) << kernel.name;
    }
}

TEST(HexKernels, EveryKernelAgreesWithTheReferenceOnRandomBuffers) {
    std::mt19937 random(11);
    std::vector<std::uint8_t> pool(1000 + 64);
    for (auto& b : pool) b = static_cast<std::uint8_t>(random());
    for (const auto& kernel : patch::AvailableHexKernels()) {
        for (std::size_t length = 0; length <= 1000; ++length) {
            // A start that moves keeps the loads unaligned in every way.
            const std::span<const std::uint8_t> bytes(pool.data() + length % 61, length);
            ASSERT_EQ(Render(kernel.render, bytes), Reference(bytes)) << kernel.name << " length " << length;
        }
    }
}

TEST(HexKernels, PortableComesFirstAndTheFastestIsAvailable) {
    const auto kernels = patch::AvailableHexKernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_EQ(kernels.front().name, "portable");
    EXPECT_EQ(kernels.back().render, patch::FastestHexKernel());
}

}  // namespace
