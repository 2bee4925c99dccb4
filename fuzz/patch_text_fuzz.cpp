// The patch file's name and the code text against byte-at-a-time references.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "patch/hex_kernels.hpp"
#include "patch/patch_file.hpp"

namespace {

std::string ReferenceName(const std::string& input) {
    std::string stem;
    for (const char c : input) {
        if (c == '.') break;
        stem += c;
    }
    return stem.empty() ? "OutFile.fpa" : stem + ".fpa";
}

std::string ReferenceCode(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        for (std::size_t j = i; j < i + 2; ++j) {
            const std::uint8_t b = j < bytes.size() ? bytes[j] : 0;
            text += digits[b / 16];
            text += digits[b % 16];
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string as_text(reinterpret_cast<const char*>(data), size);
    if (patch::PatchFileName(as_text) != ReferenceName(as_text)) std::abort();

    const std::string expected = ReferenceCode(bytes);
    if (patch::CodeText(bytes) != expected) std::abort();
    for (const auto& kernel : patch::AvailableHexKernels()) {
        std::string out(2 * size, '\0');
        kernel.render(bytes, out.data());
        if (out != expected.substr(0, 2 * size)) std::abort();
    }
    return 0;
}
