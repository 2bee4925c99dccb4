#include "report.hpp"

#include <gtest/gtest.h>

namespace {

TEST(FailureText, NamesEachTableCode) {
    const struct { int code; const char* text; } cases[] = {
        {2, "File not found"}, {3, "Invalid filename"}, {4, "Too many open files"},
        {5, "File access denied"}, {100, "Read beyond end of file"}, {101, "Disk full"},
        {106, "Invalid numeric input"}, {6, "I/O error 6"}, {1784, "I/O error 1784"},
    };
    for (const auto& c : cases) EXPECT_EQ(vorendix::FailureText({c.code, 0, true}), c.text) << c.code;
}

TEST(FailureText, SystemNumbersOutsideTheTableKeepTheirNumber) {
    // EIO is 5 on Linux: it must not read as "File access denied".
    for (const int number : {3, 4, 5, 100, 101, 106, 32}) {
        EXPECT_EQ(vorendix::FailureText({number, 0, false}), "I/O error " + std::to_string(number));
    }
}

TEST(FailureReport, HasThreeCrLfLines) {
    EXPECT_EQ(vorendix::FailureReport({101, 0x1A2B}, "Vorendix"),
              "Exception EInOutError in module Vorendix at 00001A2B.\r\nDisk full.\r\n\r\n");
}

TEST(FileNamePart, DropsTheFolder) {
    EXPECT_EQ(vorendix::FileNamePart("/opt/tool/Vorendix"), "Vorendix");
    EXPECT_EQ(vorendix::FileNamePart("Vorendix"), "Vorendix");
}

}  // namespace
