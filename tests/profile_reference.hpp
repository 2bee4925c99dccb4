// The INI rules written the plain way, over whole lines held in memory: the
// reference that the streaming reader is checked against.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace reference {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

inline bool SameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

inline std::string_view NextLine(std::string_view& text) {
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

inline void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The whole of a UTF-16 text (after its mark) as UTF-8; a lone surrogate
// becomes U+FFFD, an odd last byte is dropped.
inline std::string FromUtf16(std::string_view bytes, bool little) {
    std::string out;
    char32_t high = 0;
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        const auto a = static_cast<unsigned char>(bytes[at]), b = static_cast<unsigned char>(bytes[at + 1]);
        const char32_t unit = little ? static_cast<char32_t>(a | b << 8) : static_cast<char32_t>(a << 8 | b);
        if (unit >= 0xD800 && unit < 0xDC00) {
            if (high) AppendUtf8(out, 0xFFFD);
            high = unit;
            continue;
        }
        if (unit >= 0xDC00 && unit < 0xE000) {
            AppendUtf8(out, high ? 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00) : 0xFFFD);
        } else {
            if (high) AppendUtf8(out, 0xFFFD);
            AppendUtf8(out, unit);
        }
        high = 0;
    }
    return out;
}

inline std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key) {
    std::string decoded;
    if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
        decoded = FromUtf16(text.substr(2), text[0] == '\xFF');
        text = decoded;
    } else if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    bool seen_section = false;
    bool in_section = false;
    while (!text.empty()) {
        const std::string_view line = Trim(NextLine(text));
        if (line.empty() || line.front() == ';') continue;
        const std::size_t close = line.rfind(']');
        if (line.front() == '[' && close != std::string_view::npos) {
            if (seen_section) break;  // only the first section of that name
            in_section = seen_section = SameName(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!in_section || equals == std::string_view::npos) continue;
        if (!SameName(Trim(line.substr(0, equals)), key)) continue;
        std::string_view value = Trim(line.substr(equals + 1));
        value = value.substr(0, value.find('\0'));  // a NUL ends the value; blanks before it stay
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return std::string(value.substr(0, platform::kProfileValueMax));
    }
    return std::nullopt;
}

}  // namespace reference
