// The Linux build and the Windows build, run over the same fixtures, must
// give the same console output, the same files and the same exit status.
#include <gtest/gtest.h>

#include <string>

#include "harness.hpp"

namespace {

using harness::Run;

harness::Tool LinuxBuild() { return {VORENDIX_DEFAULT_BINARY, {}}; }

void ExpectSameBehaviour(const Run& run) {
    const harness::Outcome linux_run = harness::Execute(run, LinuxBuild());
    const harness::Outcome windows_run = harness::Execute(run, harness::ToolUnderTest());
    EXPECT_EQ(linux_run.status, windows_run.status);
    EXPECT_EQ(linux_run.stdout_bytes, windows_run.stdout_bytes);
    EXPECT_EQ(linux_run.program_dir, windows_run.program_dir);
    // The failure report names each build's own executable; its texts agree.
    EXPECT_EQ(linux_run.stderr_bytes.empty(), windows_run.stderr_bytes.empty());
}

using namespace std::string_literals;
using harness::Utf16;


std::string AllBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes;
}

TEST(Parity, SameOutputForTheSameFixtures) {
    const std::string config =
        "[MAIN]\r\nSW_Ver= v1.0 \r\nDescription=\"quoted ; text\"\r\nAuthor=\xE4\xF6\xFC\r\nEnter=0x1\r\n";
    const harness::Run runs[] = {
        {.args = {}},
        {.args = {"03FC0000", "Test.bin"}, .files = {{"Test.bin", AllBytes()}}, .stdin_bytes = "\n"},
        {.args = {"03fc0000", "fw.rev.bin"}, .files = {{"fw.rev.bin", AllBytes() + "x"}, {"Config.ini", config}}},
        {.args = {"0", "empty.bin"}, .files = {{"empty.bin", ""}, {"Config.ini", "[MAIN]\nEnter=0\n"}}},
        {.args = {"0", "big.bin"}, .files = {{"big.bin", std::string(300001, '\x5A')}}},
        {.args = {"0", "Test.fpa"}, .files = {{"Test.fpa", "keep"}}},
        {.args = {"0", "Test.bin"}, .files = {{"Test.bin", "x"}, {"Test.fpa/", ""}}},
        // Names outside any code page, long paths, devices, a link to the program.
        {.args = {"1", "\xD0\xBF\xD0\xB0\xD1\x82\xD1\x87.bin"},
         .files = {{"\xD0\xBF\xD0\xB0\xD1\x82\xD1\x87.bin", "\x42"}},
         .program_folder = "\xD0\xBF\xD1\x80\xD0\xBE\xD0\xB3"},
        {.args = {"1", "Test.bin"}, .files = {{"Test.bin", "\x43"}},
         .program_folder = std::string(150, 'a') + "/" + std::string(150, 'b')},
        {.args = {"1", "NUL"}},
        {.args = {"1", "com1.bin"}},
        {.args = {"1", "Test.bin"}, .files = {{"Test.bin", "\x44"}}, .started_through_link = true},
        // Config.ini in UTF-16, both byte orders, and a NUL inside a value.
        {.args = {"1", "Test.bin"},
         .files = {{"Test.bin", "\x45"}, {"Config.ini", Utf16("[MAIN]\r\nSW_Ver= \"v2\" \r\nEnter=0\r\n", true)}}},
        {.args = {"1", "Test.bin"},
         .files = {{"Test.bin", "\x46"}, {"Config.ini", Utf16("[MAIN]\r\nAuthor=big\r\nEnter=0\r\n", false)}}},
        {.args = {"1", "Test.bin"},
         .files = {{"Test.bin", "\x47"}, {"Config.ini", "[MAIN]\r\nAuthor=a \0b\r\nEnter=0\r\n"s}}},
    };
    for (const harness::Run& run : runs) ExpectSameBehaviour(run);
}

}  // namespace
