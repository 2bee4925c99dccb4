#include "patch/hex_kernels.hpp"

#include <array>
#include <cstring>

#include "patch/patch_file.hpp"

#if defined(__x86_64__) && !defined(VORENDIX_PORTABLE_ONLY)
#include <immintrin.h>
#define VORENDIX_X86_KERNELS 1
#endif

namespace patch {
namespace {

// Digit pairs for every byte value, as HexByte writes them.
const std::array<std::array<char, 2>, 256> kDigitPairs = [] {
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t value = 0; value < pairs.size(); ++value) {
        const std::string digits = HexByte(value);
        pairs[value] = {digits[0], digits[1]};
    }
    return pairs;
}();

#ifdef VORENDIX_X86_KERNELS

// 16 bytes to 32 digits: each nibble picks its digit from a 16-entry table.
__attribute__((target("ssse3"))) void RenderHexSsse3(std::span<const std::uint8_t> bytes, char* out) {
    const __m128i digits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(HexDigits.data()));
    const __m128i low_nibble = _mm_set1_epi8(0x0F);
    std::size_t i = 0;
    for (; i + 16 <= bytes.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
        const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(v, 4), low_nibble));
        const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(v, low_nibble));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(high, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(high, low));
    }
    RenderHexPortable(bytes.subspan(i), out + 2 * i);
}

// 32 bytes to 64 digits; the unpacks work per 128-bit lane, so the halves
// are put back in order before they are stored.
__attribute__((target("avx2"))) void RenderHexAvx2(std::span<const std::uint8_t> bytes, char* out) {
    const __m256i digits = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(HexDigits.data())));
    const __m256i low_nibble = _mm256_set1_epi8(0x0F);
    std::size_t i = 0;
    for (; i + 32 <= bytes.size(); i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes.data() + i));
        const __m256i high = _mm256_shuffle_epi8(digits, _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibble));
        const __m256i low = _mm256_shuffle_epi8(digits, _mm256_and_si256(v, low_nibble));
        const __m256i first = _mm256_unpacklo_epi8(high, low);
        const __m256i second = _mm256_unpackhi_epi8(high, low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i + 32),
                            _mm256_permute2x128_si256(first, second, 0x31));
    }
    _mm256_zeroupper();  // no penalty for the SSE code that follows
    RenderHexPortable(bytes.subspan(i), out + 2 * i);
}

#endif

}  // namespace

void RenderHexPortable(std::span<const std::uint8_t> bytes, char* out) {
    for (const std::uint8_t byte : bytes) {
        std::memcpy(out, kDigitPairs[byte].data(), 2);
        out += 2;
    }
}

std::vector<NamedKernel> AvailableHexKernels() {
    std::vector<NamedKernel> kernels = {{"portable", RenderHexPortable}};
#ifdef VORENDIX_X86_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) kernels.push_back({"ssse3", RenderHexSsse3});
    if (__builtin_cpu_supports("avx2")) kernels.push_back({"avx2", RenderHexAvx2});
#endif
    return kernels;
}

HexKernel FastestHexKernel() { return AvailableHexKernels().back().render; }

}  // namespace patch
