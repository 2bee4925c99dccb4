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
    };
    for (const harness::Run& run : runs) ExpectSameBehaviour(run);
}

}  // namespace
