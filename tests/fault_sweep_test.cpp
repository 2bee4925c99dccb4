// Every checked system call of a normal conversion, failed once each: the
// k-th call of each kind, for every k and each relevant errno. Whatever
// fails, the run either ends cleanly or reports exactly one failure, and
// nothing is lost or left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "harness.hpp"

namespace {

namespace fs = std::filesystem;
using harness::Tree;

using harness::kBanner;
using harness::kPrompt;
const std::string kEarlierPatch = "earlier patch";

harness::Tool Preloadable() { return {VORENDIX_DYNAMIC_BINARY, {}}; }

std::string Input() {
    std::string bytes((1u << 20) + 1, '\0');  // several chunks, odd length
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

harness::Run Conversion(const std::string& fault, const std::string& counts = "") {
    harness::Run run{.args = {"03FC0000", "Test.bin"},
                     .files = {{"Test.bin", Input()},
                               {"Config.ini", "[MAIN]\r\nEnter=1\r\n"},
                               {"Test.fpa", kEarlierPatch}}};
    run.environment = {{"LD_PRELOAD", VORENDIX_FAULT_LIBRARY}};
    if (!fault.empty()) run.environment.push_back({"VORENDIX_FAULT", fault});
    if (!counts.empty()) run.environment.push_back({"VORENDIX_FAULT_COUNTS", counts});
    return run;
}

std::map<std::string, long> CountCalls() {
    const std::string counts = (fs::temp_directory_path() / ("vorendix-counts-" + std::to_string(::getpid()))).string();
    const harness::Outcome outcome = harness::Execute(Conversion("", counts), Preloadable());
    EXPECT_EQ(outcome.status, 0);
    std::map<std::string, long> calls;
    std::ifstream in(counts);
    std::string kind;
    long n = 0;
    while (in >> kind >> n) calls[kind] = n;
    fs::remove(counts);
    fs::remove_all(outcome.root);
    return calls;
}

struct Fault {
    std::string what;     // errno number or "short"
    std::string text;     // failure text it must give, empty when it must be retried
};

const std::map<std::string, std::vector<Fault>> kFaultsByKind = {
    {"open", {{std::to_string(EACCES), "File access denied"}, {std::to_string(EMFILE), "Too many open files"},
              {std::to_string(EIO), "I/O error 5"}, {std::to_string(ENOSPC), "Disk full"}}},
    {"read", {{std::to_string(EIO), "I/O error 5"}, {std::to_string(EINTR), ""}, {"short", ""}}},
    {"write", {{std::to_string(ENOSPC), "Disk full"}, {std::to_string(EIO), "I/O error 5"},
               {std::to_string(EINTR), ""}, {"short", ""}}},
    {"close", {{std::to_string(EIO), "I/O error 5"}, {std::to_string(ENOSPC), "Disk full"}}},
    {"rename", {{std::to_string(EACCES), "File access denied"}, {std::to_string(EIO), "I/O error 5"},
                {std::to_string(ENOSPC), "Disk full"}}},
    {"stat", {{std::to_string(EACCES), "File access denied"}, {std::to_string(EIO), "I/O error 5"}}},
    {"readlink", {{std::to_string(EACCES), "File access denied"}, {std::to_string(EIO), "I/O error 5"}}},
};

TEST(FaultSweep, EveryFailedCallEndsCleanly) {
    const harness::Outcome normal = harness::Execute(Conversion(""), Preloadable());
    ASSERT_EQ(normal.status, 0);
    const std::string normal_stdout = normal.stdout_bytes;
    const std::string new_patch = normal.program_dir.at("Test.fpa");
    ASSERT_NE(new_patch, kEarlierPatch);
    fs::remove_all(normal.root);

    const std::map<std::string, long> calls = CountCalls();
    int injected = 0;
    for (const auto& [kind, faults] : kFaultsByKind) {
        ASSERT_GT(calls.at(kind), 0) << kind;
        for (long k = 1; k <= calls.at(kind); ++k) {
            for (const Fault& fault : faults) {
                const std::string name = kind + ":" + std::to_string(k) + ":" + fault.what;
                const harness::Outcome run = harness::Execute(Conversion(name), Preloadable());
                ++injected;
                SCOPED_TRACE(name);
                const Tree& after = run.program_dir;
                ASSERT_EQ(after.size(), 3u) << "a file was left behind or lost";
                EXPECT_EQ(after.at("Test.bin"), Input());
                EXPECT_EQ(after.at("Config.ini"), "[MAIN]\r\nEnter=1\r\n");
                const std::string& patch = after.at("Test.fpa");
                EXPECT_TRUE(patch == kEarlierPatch || patch == new_patch) << "partial patch file";

                if (run.status == 0) {
                    EXPECT_EQ(run.stderr_bytes, "");
                    // Either the whole conversion, or the input was not seen and skipped.
                    const bool converted = run.stdout_bytes == normal_stdout && patch == new_patch;
                    const bool skipped = run.stdout_bytes == kBanner + kPrompt && patch == kEarlierPatch;
                    EXPECT_TRUE(converted || (skipped && fault.text != "")) << run.stdout_bytes;
                    continue;
                }
                EXPECT_EQ(run.status, 1);
                EXPECT_NE(fault.text, "") << "a fault that must be retried stopped the run";
                const std::regex report("Exception EInOutError in module Vorendix at [0-9A-F]{8}\\.\r\n" +
                                        fault.text + "\\.\r\n\r\n");
                EXPECT_TRUE(std::regex_match(run.stderr_bytes, report)) << run.stderr_bytes;
                EXPECT_EQ(normal_stdout.compare(0, run.stdout_bytes.size(), run.stdout_bytes), 0)
                    << "stdout is not a prefix of the normal output";
                if (!HasFailure()) fs::remove_all(run.root);
            }
        }
    }
    std::printf("faults injected: %d over %zu kinds\n", injected, kFaultsByKind.size());
}

// The input changes size between the size check and the read.
TEST(FaultSweep, InputThatShrinksOrGrowsDuringTheRead) {
    harness::Run shrink = Conversion("");
    shrink.environment.push_back({"VORENDIX_RESIZE", "-1000"});
    const harness::Outcome shrunk = harness::Execute(shrink, Preloadable());
    EXPECT_EQ(shrunk.status, 1);
    EXPECT_NE(shrunk.stderr_bytes.find("Read beyond end of file.\r\n"), std::string::npos) << shrunk.stderr_bytes;
    EXPECT_EQ(shrunk.program_dir.at("Test.fpa"), kEarlierPatch);
    EXPECT_EQ(shrunk.program_dir.size(), 3u);

    harness::Run grow = Conversion("");
    grow.environment.push_back({"VORENDIX_RESIZE", "+1000"});
    const harness::Outcome grown = harness::Execute(grow, Preloadable());
    const harness::Outcome normal = harness::Execute(Conversion(""), Preloadable());
    EXPECT_EQ(grown.status, 0);
    // The bytes that were there when the size was asked, and no more.
    EXPECT_EQ(grown.program_dir.at("Test.fpa"), normal.program_dir.at("Test.fpa"));
    for (const auto* outcome : {&shrunk, &grown, &normal}) fs::remove_all(outcome->root);
}

TEST(FaultSweep, ConfigReplacedBetweenLookupsIsSeenByTheLaterOnes) {
    harness::Run run{.args = {"1", "Test.bin"},
                     .files = {{"Test.bin", "\x01"},
                               {"Config.ini", "[MAIN]\nSW_Ver=old\nDescription=old\nEnter=0\n"},
                               {"next.ini", "[MAIN]\nSW_Ver=new\nDescription=new\nEnter=0\n"}}};
    run.environment = {{"LD_PRELOAD", VORENDIX_FAULT_LIBRARY}, {"VORENDIX_SWAP", "next.ini"}};
    const harness::Outcome outcome = harness::Execute(run, Preloadable());
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.stdout_bytes, kBanner + "SW_Ver=old\r\nDescription=new\r\nAuthor=Vorendix by Kemrod\r\n");
    EXPECT_FALSE(outcome.program_dir.count("next.ini"));
    fs::remove_all(outcome.root);
}

}  // namespace
