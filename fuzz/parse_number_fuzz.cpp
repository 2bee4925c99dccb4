// The Enter number rules against a plain reference written from the rules
// themselves: a pattern match, then the range check on a wide integer.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

#include "config/config_file.hpp"

namespace {

std::optional<std::int32_t> Reference(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = "$" + text.substr(2);
    static const std::regex shape("^ *([+-]?)(\\$|0[xX]|[xX])?([0-9A-Fa-f]+)$");
    std::smatch parts;
    if (!std::regex_match(text, parts, shape)) return std::nullopt;
    const bool negative = parts[1] == "-";
    const bool hex = parts[2].matched;
    const std::string digits = parts[3];
    if (!hex && digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    __int128 value = 0;
    for (const char c : digits) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
        value = value * (hex ? 16 : 10) + digit;
        if (value > (static_cast<__int128>(1) << 40)) return std::nullopt;
    }
    if (hex) {
        if (value > 0xFFFFFFFF) return std::nullopt;
        const std::uint32_t bits = static_cast<std::uint32_t>(negative ? -value : value);
        return static_cast<std::int32_t>(bits);
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (config::ParseNumber(text) != Reference(text)) std::abort();
    return 0;
}
