#include "config/config_file.hpp"

#include "platform/platform.hpp"

namespace config {
namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsHexPrefix(std::string_view text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

std::optional<std::int32_t> ParseNumber(std::string_view text) {
    std::string rewritten;
    if (text.size() > 2 && StartsHexPrefix(text)) {
        rewritten = '$';
        rewritten.append(text.substr(2));
        text = rewritten;
    }
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (StartsHexPrefix(text)) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && (text.front() == '$' || text.front() == 'x' || text.front() == 'X')) {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Decimal runs to 2^31 (for the negative end); hexadecimal to FFFFFFFF.
    const std::uint64_t limit = base == 10 ? (negative ? 0x80000000u : 0x7FFFFFFFu) : 0xFFFFFFFFu;
    std::uint64_t magnitude = 0;
    for (const char c : text) {
        const int digit = DigitValue(c);
        if (digit < 0 || digit >= base) return std::nullopt;
        magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (magnitude > limit) return std::nullopt;
    }
    // Hexadecimal values above 7FFFFFFF stand for negative numbers.
    const auto bits = static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude);
    return static_cast<std::int32_t>(bits);
}

std::string ConfigFile::LookupText(std::string_view key, std::string_view fallback) const {
    return platform::ReadProfileString(path_, MainSection, key, fallback);
}

std::int32_t ConfigFile::LookupNumber(std::string_view key, std::int32_t fallback) const {
    return ParseNumber(LookupText(key, "")).value_or(fallback);
}

}  // namespace config
