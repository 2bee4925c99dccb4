#include "platform/profile_text.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Little = "\xFF\xFE";
constexpr std::string_view kUtf16Big = "\xFE\xFF";
// A value's first characters: a quote, the longest value, its closing quote.
constexpr std::size_t kValueKept = kProfileValueMax + 2;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// The first CR or LF in [from, end), or `end`. Sixteen bytes at a time
// where the CPU has SSE2, so that skipping lines runs near the speed of
// reading them.
const char* FindLineEnd(const char* from, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; end - from >= 16; from += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
        if (hits != 0) return from + __builtin_ctz(static_cast<unsigned>(hits));
    }
#endif
    return std::find_if(from, end, IsLineEnd);
}

// Writes `code` as UTF-8 to `out`; gives the count of bytes, at most 4.
std::size_t EncodeUtf8(std::uint32_t code, char* out) {
    const auto put = [&](std::size_t at, std::uint32_t bits) { out[at] = static_cast<char>(bits); };
    if (code < 0x80) {
        put(0, code);
        return 1;
    }
    if (code < 0x800) {
        put(0, 0xC0 | code >> 6);
        put(1, 0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        put(0, 0xE0 | code >> 12);
        put(1, 0x80 | (code >> 6 & 0x3F));
        put(2, 0x80 | (code & 0x3F));
        return 3;
    }
    put(0, 0xF0 | code >> 18);
    put(1, 0x80 | (code >> 12 & 0x3F));
    put(2, 0x80 | (code >> 6 & 0x3F));
    put(3, 0x80 | (code & 0x3F));
    return 4;
}

}  // namespace

void ProfileScanner::Name::Clear() {
    kept.clear();
    held.clear();
    blanks = 0;
    overflow = false;
}

void ProfileScanner::Name::Add(char c, std::size_t limit) {
    if (overflow) return;
    if (IsBlank(c)) {
        if (kept.empty()) return;  // blanks before the name
        ++blanks;
        if (held.size() <= limit) held += c;
        return;
    }
    if (kept.size() + blanks + 1 > limit) {
        overflow = true;
        return;
    }
    kept += held;  // blanks inside the name; fewer than `limit`, so all were held
    held.clear();
    blanks = 0;
    kept += c;
}

ProfileScanner::ProfileScanner(std::string_view section, std::string_view key)
    : section_(section), key_(key) {}

bool ProfileScanner::Feed(std::string_view bytes) {
    if (done_) return false;
    if (!started_) {
        // Two bytes tell a UTF-16 mark; "EF BB" needs a third.
        const auto undecided = [this] { return start_.size() < 2 || start_ == kByteOrderMark.substr(0, 2); };
        while (!bytes.empty() && undecided()) {
            start_ += bytes.front();
            bytes.remove_prefix(1);
        }
        if (undecided()) return true;  // wait for more
        StartDecoding();
    }
    FeedDecoded(bytes);
    return !done_;
}

std::optional<std::string> ProfileScanner::Finish() {
    if (!started_) StartDecoding();
    if (!done_) EndLine();
    return result_;
}

void ProfileScanner::StartDecoding() {
    started_ = true;
    std::string_view rest(start_);
    if (rest.starts_with(kUtf16Little)) {
        encoding_ = Encoding::Utf16Little;
        rest.remove_prefix(2);
    } else if (rest.starts_with(kUtf16Big)) {
        encoding_ = Encoding::Utf16Big;
        rest.remove_prefix(2);
    } else if (rest == kByteOrderMark) {
        rest = {};
    }
    FeedDecoded(rest);
}

void ProfileScanner::FeedDecoded(std::string_view bytes) {
    if (encoding_ == Encoding::Bytes) {
        FeedContent(bytes);
        return;
    }
    // UTF-16 goes to UTF-8 a stretch at a time, through a small buffer.
    char out[4096];
    std::size_t used = 0;
    const auto unit_at = [this](unsigned char first, unsigned char second) {
        return encoding_ == Encoding::Utf16Little ? static_cast<std::uint32_t>(first | second << 8)
                                                  : static_cast<std::uint32_t>(first << 8 | second);
    };
    std::size_t at = 0;
    while (at < bytes.size() && !done_) {
        std::uint32_t unit = 0;
        if (odd_byte_ >= 0) {
            unit = unit_at(static_cast<unsigned char>(odd_byte_), static_cast<unsigned char>(bytes[at]));
            odd_byte_ = -1;
            at += 1;
        } else if (at + 1 < bytes.size()) {
            unit = unit_at(static_cast<unsigned char>(bytes[at]), static_cast<unsigned char>(bytes[at + 1]));
            at += 2;
        } else {
            odd_byte_ = static_cast<unsigned char>(bytes[at]);
            break;
        }
        std::uint32_t code = unit;
        if (unit >= 0xD800 && unit < 0xDC00) {
            if (high_half_ != 0) used += EncodeUtf8(0xFFFD, out + used);
            high_half_ = unit;
            continue;
        }
        if (unit >= 0xDC00 && unit < 0xE000) {
            code = high_half_ != 0 ? 0x10000 + ((high_half_ - 0xD800) << 10) + (unit - 0xDC00) : 0xFFFD;
        } else if (high_half_ != 0) {
            used += EncodeUtf8(0xFFFD, out + used);
        }
        high_half_ = 0;
        used += EncodeUtf8(code, out + used);
        if (used + 8 > sizeof out) {
            FeedContent(std::string_view(out, used));
            used = 0;
        }
    }
    if (used > 0 && !done_) FeedContent(std::string_view(out, used));
}

void ProfileScanner::FeedContent(std::string_view bytes) {
    const char* next = bytes.data();
    const char* const end = next + bytes.size();
    while (next != end && !done_) {
        if (line_ == Line::Skip) {
            next = FindLineEnd(next, end);
            if (next == end) break;
        }
        const char c = *next++;
        if (IsLineEnd(c)) {
            EndLine();
        } else {
            TakeByte(c);
        }
    }
}

void ProfileScanner::TakeByte(char c) {
    if (line_ == Line::Leading) {
        if (IsBlank(c)) return;
        if (c == ';') {
            line_ = Line::Skip;
            return;
        }
        if (c != '[' && !in_section_) {
            line_ = Line::Skip;  // a key line of another section
            return;
        }
        line_ = Line::Body;
        line_touched_ = true;
        bracket_line_ = c == '[';
        if (bracket_line_) {
            key_name_.Add(c, key_.size());  // without a "]" later, the line is a key line
            return;
        }
    }
    if (bracket_line_) {
        if (c == ']') {
            close_seen_ = true;
            close_kept_ = section_name_.kept.size();
            close_overflow_ = section_name_.overflow;
        }
        section_name_.Add(c, section_.size());
    }
    if (!in_section_) return;
    if (!equals_seen_) {
        if (c == '=') {
            equals_seen_ = true;
            key_matches_ = !key_name_.overflow && SameName(key_name_.kept, key_);
            if (!key_matches_ && !bracket_line_) line_ = Line::Skip;
            return;
        }
        key_name_.Add(c, key_.size());
        if (key_name_.overflow && !bracket_line_) line_ = Line::Skip;
        return;
    }
    if (key_matches_) TakeValueByte(c);
}

void ProfileScanner::TakeValueByte(char c) {
    // A NUL ends the value, as the platform reader has it: blanks before the
    // NUL stay, and quotes count only if they close before it.
    if (value_cut_) return;
    if (c == '\0') {
        value_cut_ = true;
        if (value_blanks_ > 0) value_last_ = ' ';
        value_length_ += value_blanks_;
        value_blanks_ = 0;
        return;
    }
    if (IsBlank(c)) {
        if (!value_started_) return;  // blanks before the value
        // Blanks count only if something follows them; the few that can
        // still be kept are held back in `value_` past its length.
        ++value_blanks_;
        if (value_.size() < kValueKept) value_ += c;
        return;
    }
    value_started_ = true;
    value_length_ += value_blanks_ + 1;
    value_blanks_ = 0;
    if (value_.size() < kValueKept) value_ += c;
    value_last_ = c;
}

void ProfileScanner::EndLine() {
    if (line_ == Line::Body) {
        if (bracket_line_ && close_seen_) {
            const bool named = !close_overflow_ &&
                               SameName(std::string_view(section_name_.kept).substr(0, close_kept_), section_);
            if (seen_section_) {
                done_ = true;  // the section ended without the key
            } else {
                in_section_ = seen_section_ = named;
            }
        } else if (in_section_ && key_matches_) {
            std::string_view value(value_);
            value = value.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(value_length_, value.size())));
            const bool quoted = value_length_ >= 2 && (value.front() == '"' || value.front() == '\'') &&
                                value_last_ == value.front();
            const std::uint64_t length = value_length_ - (quoted ? 2 : 0);
            value = value.substr(quoted ? 1 : 0,
                                 static_cast<std::size_t>(std::min<std::uint64_t>(length, kProfileValueMax)));
            result_ = std::string(value);
            done_ = true;
        }
    }
    StartLine();
}

void ProfileScanner::StartLine() {
    line_ = Line::Leading;
    if (!line_touched_) return;  // a skipped line changed nothing else
    line_touched_ = false;
    bracket_line_ = false;
    key_name_.Clear();
    equals_seen_ = false;
    key_matches_ = false;
    section_name_.Clear();
    close_seen_ = false;
    close_kept_ = 0;
    close_overflow_ = false;
    value_.clear();
    value_started_ = false;
    value_length_ = 0;
    value_blanks_ = 0;
    value_last_ = 0;
    value_cut_ = false;
}

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
    ProfileScanner scanner(section, key);
    scanner.Feed(text);
    return scanner.Finish();
}

}  // namespace platform
