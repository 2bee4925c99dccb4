#include "patch/patch_file.hpp"

#include "patch/hex_kernels.hpp"

namespace patch {

std::string HexByte(std::uint64_t value) {
    std::string digits;
    if (value == 0) {
        digits = "0";
    } else {
        int count = 0;
        for (std::uint64_t rest = value; rest != 0; rest /= 16) ++count;
        for (int k = count - 1; k >= 0; --k) {
            const std::uint64_t power = std::uint64_t{1} << (4 * k);
            digits += HexDigits[value / power];
            value %= power;
        }
    }
    if (digits.size() >= 2) return digits;
    std::string padded = "0";
    padded += digits;
    return padded;
}

std::string PatchFileName(std::string_view input_name) {
    const std::string_view stem = input_name.substr(0, input_name.find('.'));
    if (stem.empty()) return "OutFile.fpa";
    return std::string(stem) + ".fpa";
}

std::string HeaderLine(std::string_view key, std::string_view value) {
    std::string line(key);
    line += '=';
    line += value;
    return line;
}

void RenderHex(std::span<const std::uint8_t> bytes, char* out) {
    static const HexKernel kFastest = FastestHexKernel();
    kFastest(bytes, out);
}

std::string CodeText(std::span<const std::uint8_t> bytes) {
    std::string text(2 * bytes.size(), '\0');
    RenderHex(bytes, text.data());
    if (bytes.size() % 2 != 0) text += OddPad;
    return text;
}

}  // namespace patch
