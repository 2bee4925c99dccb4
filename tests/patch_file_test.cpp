#include "patch/patch_file.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using patch::CodeText;
using patch::HexByte;
using patch::PatchFileName;

TEST(HexByte, GivesAtLeastTwoUpperCaseDigits) {
    const struct { std::uint64_t value; const char* digits; } cases[] = {
        {0, "00"}, {10, "0A"}, {15, "0F"}, {16, "10"}, {171, "AB"}, {255, "FF"},
        {256, "100"}, {0xABCDEF, "ABCDEF"}, {0xFFFFFFFFFFFFFFFFull, "FFFFFFFFFFFFFFFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(HexByte(c.value), c.digits) << c.value;
}

TEST(PatchFileName, KeepsTheTextBeforeTheFirstDot) {
    const struct { const char* input; const char* patch; } cases[] = {
        {"Test.bin", "Test.fpa"},
        {"Test", "Test.fpa"},
        {"fw.rev.bin", "fw.fpa"},
        {"sub\\Test.bin", "sub\\Test.fpa"},
        {"sub/Test.bin", "sub/Test.fpa"},
        {"data.new\\fw.bin", "data.fpa"},
        {"Test.fpa", "Test.fpa"},
        {".bin", "OutFile.fpa"},
        {".\\Test.bin", "OutFile.fpa"},
        {"..\\fw.bin", "OutFile.fpa"},
        {"", "OutFile.fpa"},
    };
    for (const auto& c : cases) EXPECT_EQ(PatchFileName(c.input), c.patch) << c.input;
}

std::string ByteAtATime(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        text += HexByte(bytes[i]);
        text += HexByte(i + 1 < bytes.size() ? bytes[i + 1] : 0);
    }
    return text;
}

TEST(CodeText, PadsAnOddCountWithAZeroByte) {
    const struct { std::vector<std::uint8_t> bytes; const char* text; } cases[] = {
        {{}, ""},
        {{0x7F}, "7F00"},
        {{0x12, 0x34}, "1234"},
        {{0x01, 0xAB, 0xFF}, "01ABFF00"},
        {{0x00, 0x0A}, "000A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CodeText(c.bytes), c.text);
        EXPECT_EQ(CodeText(c.bytes).size(), patch::CodeTextLength(c.bytes.size()));
    }
}

TEST(CodeText, RendersEveryByteValue) {
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    const std::string text = CodeText(all);
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(508), "FEFF");
    EXPECT_EQ(text, ByteAtATime(all));
}

TEST(CodeText, AgreesWithByteAtATimeOnRandomBuffers) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length <= 300; ++length) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        ASSERT_EQ(CodeText(bytes), ByteAtATime(bytes)) << "length " << length;
    }
}

TEST(HeaderLine, CarriesTheValueUnchanged) {
    EXPECT_EQ(patch::HeaderLine("SW_Ver", ""), "SW_Ver=");
    EXPECT_EQ(patch::HeaderLine("Author", "a=b;[c]"), "Author=a=b;[c]");
}

}  // namespace
