#include "platform/profile_text.hpp"

#include <algorithm>

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Splits off the next line; CR LF, LF and a lone CR all end a line.
std::string_view NextLine(std::string_view& text) {
    const std::size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) {
        std::string_view line = text;
        text = {};
        return line;
    }
    std::string_view line = text.substr(0, end);
    std::size_t skip = 1;
    if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') skip = 2;
    text.remove_prefix(end + skip);
    return line;
}

// "[name]" gives name; anything else is not a section header.
std::optional<std::string_view> SectionName(std::string_view line) {
    if (line.empty() || line.front() != '[') return std::nullopt;
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text,
                                            std::string_view section,
                                            std::string_view key) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    bool seen_section = false;
    bool in_section = false;
    while (!text.empty()) {
        const std::string_view line = Trim(NextLine(text));
        if (line.empty() || line.front() == ';') continue;
        if (const auto name = SectionName(line)) {
            // Only the first section of that name is searched.
            if (seen_section) break;
            in_section = SameName(*name, section);
            seen_section = in_section;
            continue;
        }
        if (!in_section) continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!SameName(Trim(line.substr(0, equals)), key)) continue;
        const std::string_view value = Unquote(Trim(line.substr(equals + 1)));
        return std::string(value.substr(0, kProfileValueMax));
    }
    return std::nullopt;
}

}  // namespace platform
