// The INI rules of the platform's private-profile reader, over a file's
// bytes. The POSIX build reads Config.ini with them; the Windows build calls
// the platform's own reader and is compared against these rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace platform {

// Finds one value while the file streams through it in pieces of any size,
// holding no more than a value's worth of it, however long its lines are.
//
// The rules: names match without regard to ASCII case; only the first
// section of that name is searched, and in it the first line of the key; a
// line is ended by CR or LF; blanks and tabs around names, "=" and values
// are dropped; a value enclosed in a pair of " or ' loses them; a line that
// starts with ";" is a comment; a section header's name runs to its last
// "]"; a value ends at a NUL byte and is cut to kProfileValueMax bytes.
// A file that starts with a UTF-16 byte-order mark (either byte order) is
// decoded, its characters read as UTF-8; a UTF-8 byte-order mark is skipped.
class ProfileScanner {
public:
    ProfileScanner(std::string_view section, std::string_view key);

    // Takes the next bytes of the file. False once the answer is known, so
    // the rest of the file need not be read.
    bool Feed(std::string_view bytes);
    // The value once the file has been fed, or nothing when the section or
    // the key is absent.
    std::optional<std::string> Finish();

private:
    // A name as its line goes by: at most `limit` characters kept, trailing
    // blanks held back until something follows them.
    struct Name {
        std::string kept;
        std::string held;          // the blanks after it, as far as they could matter
        std::uint64_t blanks = 0;  // how many there are
        bool overflow = false;  // longer than any name it is compared with
        void Add(char c, std::size_t limit);
        void Clear();
    };

    void StartDecoding();
    void FeedDecoded(std::string_view bytes);
    void FeedContent(std::string_view bytes);
    void TakeByte(char c);
    void TakeValueByte(char c);
    void EndLine();
    void StartLine();

    std::string section_;
    std::string key_;

    std::string start_;         // the first bytes, until the byte-order mark is ruled in or out
    bool started_ = false;
    enum class Encoding { Bytes, Utf16Little, Utf16Big };
    Encoding encoding_ = Encoding::Bytes;
    int odd_byte_ = -1;            // half a UTF-16 unit left from the last piece, if any
    std::uint32_t high_half_ = 0;  // a leading surrogate waiting for its partner
    bool seen_section_ = false;  // the section was found (and is or was being read)
    bool in_section_ = false;
    bool done_ = false;
    std::optional<std::string> result_;

    // The line being read.
    enum class Line { Leading, Body, Skip };
    Line line_ = Line::Leading;
    bool line_touched_ = false;  // anything below was set for this line
    bool bracket_line_ = false;  // starts with "[": a header if a "]" follows
    Name key_name_;
    bool equals_seen_ = false;
    bool key_matches_ = false;
    Name section_name_;
    bool close_seen_ = false;
    std::size_t close_kept_ = 0;  // the name up to the last "]" so far
    bool close_overflow_ = false;
    // The value, when the key matches: its first characters, its length
    // without blanks at either end, and its last character that is not blank.
    std::string value_;
    bool value_started_ = false;
    std::uint64_t value_length_ = 0;
    std::uint64_t value_blanks_ = 0;
    char value_last_ = 0;
    bool value_cut_ = false;  // a NUL came: the rest of the line is no part of it
};

// The value of `key` in `section` of the INI text `text`, or nothing when
// the section or the key is absent.
std::optional<std::string> FindProfileValue(std::string_view text,
                                            std::string_view section,
                                            std::string_view key);

}  // namespace platform
