#include "patch/patch_file.hpp"

#include <array>

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
    if (digits.size() < 2) digits.insert(0, "0");
    return digits;
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

}  // namespace

void RenderHex(std::span<const std::uint8_t> bytes, char* out) {
    for (const std::uint8_t byte : bytes) {
        *out++ = kDigitPairs[byte][0];
        *out++ = kDigitPairs[byte][1];
    }
}

std::string CodeText(std::span<const std::uint8_t> bytes) {
    std::string text(2 * bytes.size(), '\0');
    RenderHex(bytes, text.data());
    if (bytes.size() % 2 != 0) text += OddPad;
    return text;
}

}  // namespace patch
