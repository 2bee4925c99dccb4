#include "platform/profile_text.hpp"
#include "profile_reference.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using platform::FindProfileValue;

// A string literal whole, NUL bytes included.
template <std::size_t N>
std::string Literal(const char (&text)[N]) {
    return std::string(text, N - 1);
}

struct Case {
    const char* name;
    std::string file;
    const char* key;
    std::optional<std::string> value;
};

TEST(FindProfileValue, FollowsThePrivateProfileRules) {
    const Case cases[] = {
        {"plain", "[MAIN]\r\nAuthor=Me\r\n", "Author", "Me"},
        {"names ignore case", "[main]\r\nauthor=Me\r\n", "AUTHOR", "Me"},
        {"blanks around names and values", " [ MAIN ] \r\n\t Author \t=\t Me Too \t\r\n", "Author", "Me Too"},
        {"double quotes dropped", "[MAIN]\nAuthor=\" Me \"\n", "Author", " Me "},
        {"single quotes dropped", "[MAIN]\nAuthor='Me'\n", "Author", "Me"},
        {"mismatched quotes kept", "[MAIN]\nAuthor=\"Me'\n", "Author", "\"Me'"},
        {"lone quote kept", "[MAIN]\nAuthor=\"\n", "Author", "\""},
        {"comment line skipped", "[MAIN]\n;Author=No\nAuthor=Yes\n", "Author", "Yes"},
        {"inline semicolon is value", "[MAIN]\nAuthor=Me ; x\n", "Author", "Me ; x"},
        {"value keeps = ; [", "[MAIN]\nAuthor=a=b;[c]\n", "Author", "a=b;[c]"},
        {"LF ends", "[MAIN]\nA=1\nB=2\n", "B", "2"},
        {"CR ends", "[MAIN]\rA=1\rB=2\r", "B", "2"},
        {"no final line end", "[MAIN]\nB=2", "B", "2"},
        {"byte-order mark skipped", "\xEF\xBB\xBF[MAIN]\nB=2\n", "B", "2"},
        {"first key wins", "[MAIN]\nB=1\nB=2\n", "B", "1"},
        {"first section only", "[MAIN]\nA=1\n[MAIN]\nB=2\n", "B", std::nullopt},
        {"empty value is present", "[MAIN]\nSW_Ver=\n", "SW_Ver", ""},
        {"key without = absent", "[MAIN]\nSW_Ver\n", "SW_Ver", std::nullopt},
        {"other section ignored", "[OTHER]\nAuthor=Me\n", "Author", std::nullopt},
        {"section ends at the next", "[MAIN]\n[OTHER]\nAuthor=Me\n", "Author", std::nullopt},
        {"lines before a section ignored", "Author=Me\n[MAIN]\n", "Author", std::nullopt},
        {"header without ] is no header", "[MAIN\nAuthor=Me\n", "Author", std::nullopt},
        {"empty file", "", "Author", std::nullopt},
        {"shorter and empty names are other keys", "[MAIN]\nS=short\n=empty\nSW_Ver=real\n", "SW_Ver", "real"},
        {"a name is no prefix of a longer one", "[MAIN]\nSW_Ver=1\n", "S", std::nullopt},
        {"an empty name matches no key", "[MAIN]\nSW_Ver=1\nEnter=0\n", "", std::nullopt},
        {"section after another one", "[Other]\nAuthor=No\n[MAIN]\nAuthor=Yes\n", "Author", "Yes"},
        // The last "]" of a header line closes its name, as the platform's reader does.
        {"name runs to the last ]", "[MAIN]]\nAuthor=Me\n", "Author", std::nullopt},
        {"text between two ] is in the name", "[MAIN]x]\nAuthor=Me\n", "Author", std::nullopt},
        {"a ] inside the name", "[MA]IN]\nAuthor=Me\n[MAIN]\nAuthor=Yes\n", "Author", "Yes"},
        {"text after the header ignored", "[MAIN] x\nAuthor=Me\n", "Author", "Me"},
        // A NUL ends the value as the platform reader has it.
        {"NUL ends the value, blanks before it stay", Literal("[MAIN]\nAuthor=x \0 y\n"), "Author", "x "},
        {"quotes count only before the NUL", Literal("[MAIN]\nAuthor= \"q\0r\" \n"), "Author", "\"q"},
        {"NUL first gives the empty value", Literal("[MAIN]\nAuthor=\0x\n"), "Author", ""},
        // UTF-16 files are decoded; their characters come out as UTF-8.
        {"UTF-16 little-endian", Literal("\xFF\xFE[\0M\0A\0I\0N\0]\0\n\0A\0=\0\xE9\0\x3D\xD8\x00\xDE\n\0"),
         "A", "\xC3\xA9\xF0\x9F\x98\x80"},
        {"UTF-16 big-endian", Literal("\xFE\xFF\0[\0M\0A\0I\0N\0]\0\n\0A\0=\0x\xD8\x00\0y"), "A", "x\xEF\xBF\xBDy"},
        {"non-ASCII bytes kept", "[MAIN]\nAuthor=\xE4\xF6\xFC\x01\n", "Author", "\xE4\xF6\xFC\x01"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindProfileValue(c.file, "MAIN", c.key), c.value) << c.name;
    }
}

TEST(FindProfileValue, CutsValuesTo2047Characters) {
    for (const std::size_t length : {2046u, 2047u, 2048u, 3000u}) {
        const std::string value(length, 'v');
        const auto found = FindProfileValue("[MAIN]\nK=" + value + "\n", "MAIN", "K");
        ASSERT_TRUE(found);
        EXPECT_EQ(found->size(), std::min<std::size_t>(length, 2047)) << length;
    }
}

}  // namespace

namespace {

std::optional<std::string> InPieces(std::string_view text, std::size_t piece, std::string_view key) {
    platform::ProfileScanner scanner("MAIN", key);
    for (std::size_t at = 0; at < text.size() && scanner.Feed(text.substr(at, piece)); at += piece) {
    }
    return scanner.Finish();
}

// The file streams through in pieces of any size; the answer stays that of
// the whole lines.
TEST(ProfileScanner, AnyPieceSizeGivesTheSameValue) {
    const std::string files[] = {
        "\xEF\xBB\xBF[MAIN]\r\nAuthor= \"x y\" \r\n",
        "\xEF\xBB[MAIN]\nAuthor=1\n",
        "[Other]\n[MAIN] junk\n;Author=no\n  Author\t = \t'q' \nAuthor=2",
        "[MA]IN]\nAuthor=a\n[MAIN]\n[x=1\nAuthor=b\n[Next]\nAuthor=c\n",
        "[MAIN]\rS=1\r=2\rAuthor  =  a  b  \r",
    };
    for (const std::string& file : files) {
        for (const std::size_t piece : {1u, 2u, 3u, 5u, 64u, 100000u}) {
            for (const char* key : {"Author", "S", "", "x"}) {
                EXPECT_EQ(InPieces(file, piece, key), reference::FindValue(file, "MAIN", key))
                    << file << " / " << piece << " / " << key;
            }
        }
    }
}

// Lines of any length: only a value's first 2047 characters are kept, yet
// the quotes and blanks at the far end of the line still count.
TEST(ProfileScanner, LongLinesKeepTheirMeaning) {
    const std::string long_run(300'000, 'v');
    const std::string blanks(300'000, ' ');
    const struct {
        const char* name;
        std::string file;
    } cases[] = {
        {"long value", "[MAIN]\nAuthor=" + long_run + "\n"},
        {"long quoted value", "[MAIN]\nAuthor=\"" + long_run + "\"  \n"},
        {"long value, one quote", "[MAIN]\nAuthor=\"" + long_run + "\n"},
        {"blanks inside a long value", "[MAIN]\nAuthor=a" + blanks + "b\n"},
        {"blanks after the value", "[MAIN]\nAuthor=a" + blanks + "\n"},
        {"blanks inside the header", "[MAIN" + blanks + "]\nAuthor=x\n"},
        {"long text after the header", "[MAIN]" + long_run + "\nAuthor=x\n"},
        {"long header name", "[MAIN" + long_run + "]\nAuthor=x\n"},
        {"long key name", "[MAIN]\nAuthor" + long_run + "=x\nAuthor=y\n"},
        {"blanks before =", "[MAIN]\nAuthor" + blanks + "=x\n"},
        {"long other line first", "[MAIN]\n" + long_run + "\nAuthor=x\n"},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> expected = reference::FindValue(c.file, "MAIN", "Author");
        EXPECT_EQ(FindProfileValue(c.file, "MAIN", "Author"), expected) << c.name;
        EXPECT_EQ(InPieces(c.file, 4096, "Author"), expected) << c.name;
    }
}

}  // namespace
