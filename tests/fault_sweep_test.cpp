// Every call of a normal conversion, failed once each: the k-th call of each
// kind, for every k and each errno that fits it. A failed call ends the run
// with status 1 and one report naming that failure, unless the tool is meant
// to absorb it (see Absorbed below); nothing is lost or left behind either way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

namespace fs = std::filesystem;
using harness::Tree;

using harness::kBanner;
const std::string kEarlierPatch = "earlier patch";
// Values that differ from every default, so that a lost lookup shows.
const std::vector<std::pair<std::string, std::string>> kConfigKeys = {
    {"SW_Ver", "9.9"}, {"Description", "swept"}, {"Author", "Sweeper"}, {"Enter", "0"}};

harness::Tool Preloadable() { return {VORENDIX_DYNAMIC_BINARY, {}}; }

std::string Input() {
    std::string bytes((1u << 20) + 1, '\0');  // several chunks, odd length
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}
const std::string kInput = Input();

// Config.ini with every key but `left_out`.
std::string ConfigText(const std::string& left_out = "") {
    std::string text = "[MAIN]\r\n";
    for (const auto& [key, value] : kConfigKeys) {
        if (key != left_out) text += key + "=" + value + "\r\n";
    }
    return text;
}

// How the earlier patch gets replaced.
enum class Way {
    Unnamed,  // an unnamed temporary file, named and renamed at the end
    Named,    // a named temporary file, where unnamed ones are not to be had
    InPlace,  // written in place, as the earlier patch has a second name
};

harness::Run Conversion(const std::string& fault, Way way = Way::Unnamed,
                        const std::string& config = ConfigText()) {
    harness::Run run{.args = {"03FC0000", "Test.bin"},
                     .files = {{"Test.bin", kInput}, {"Config.ini", config}, {"Test.fpa", kEarlierPatch}}};
    run.environment = {{"LD_PRELOAD", VORENDIX_FAULT_LIBRARY}};
    if (!fault.empty()) run.environment.push_back({"VORENDIX_FAULT", fault});
    if (way == Way::Named) run.environment.push_back({"VORENDIX_NO_TMPFILE", "1"});
    run.prepare = [way](const fs::path& dir) {
        // A group of its own, so that the replacement has to be given it (root only).
        if (::geteuid() == 0 && ::chown((dir / "Test.fpa").c_str(), 0, harness::kNobody) != 0) {
            throw std::runtime_error("chown");
        }
        if (way == Way::InPlace) fs::create_hard_link(dir / "Test.fpa", dir / "Link.fpa");
    };
    return run;
}

struct Call {
    std::string kind;
    long k = 0;           // its number among the calls of its kind
    std::string target;   // path, or fd0..fd2 for the standard streams
    int lookup = 0;       // for calls on Config.ini: which lookup (1 to 4) made it
    bool existence_test = false;  // the stat that asks whether the input is there
};

// Every call a normal conversion makes, in order.
std::vector<Call> LogCalls(Way way) {
    const harness::ScratchDir scratch("vorendix-log");
    const std::string log = (scratch.path() / "calls").string();
    harness::Run run = Conversion("", way);
    run.environment.push_back({"VORENDIX_FAULT_LOG", log});
    const harness::Outcome outcome = harness::Execute(run, Preloadable());
    EXPECT_EQ(outcome.status, 0);
    std::vector<Call> calls;
    std::map<std::string, long> seen;
    int config_opens = 0;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        Call call;
        const std::size_t blank = line.find(' ');
        call.kind = line.substr(0, blank);
        call.target = blank == std::string::npos ? "" : line.substr(blank + 1);
        call.k = ++seen[call.kind];
        if (call.target.ends_with("/Config.ini")) {
            if (call.kind == "open") ++config_opens;
            call.lookup = config_opens;
        }
        calls.push_back(call);
    }
    return calls;
}

struct Fault {
    std::string what;  // errno number or "short"
    std::string text;  // the failure text it gives
};

Fault Errno(int number, std::string text) { return {std::to_string(number), std::move(text)}; }
const Fault kInterrupted = Errno(EINTR, "");
const Fault kShort = {"short", ""};
const Fault kAccess = Errno(EACCES, "File access denied");
const Fault kReadOnlyFs = Errno(EROFS, "File access denied");
const Fault kIsFolder = Errno(EISDIR, "File access denied");
const Fault kNoFiles = Errno(EMFILE, "Too many open files");
const Fault kIo = Errno(EIO, "I/O error 5");
const Fault kNoSpace = Errno(ENOSPC, "Disk full");
const Fault kQuota = Errno(EDQUOT, "Disk full");
const Fault kTooBig = Errno(EFBIG, "Disk full");
const Fault kNotSupported = Errno(EOPNOTSUPP, "I/O error " + std::to_string(EOPNOTSUPP));

const std::map<std::string, std::vector<Fault>> kFaultsByKind = {
    {"open", {kAccess, kReadOnlyFs, kIsFolder, kNotSupported, kNoFiles, kIo, kNoSpace, kQuota}},
    {"read", {kIo, kInterrupted, kShort}},
    {"write", {kNoSpace, kQuota, kTooBig, kIo, kInterrupted, kShort}},
    {"close", {kIo, kNoSpace, kQuota}},
    {"rename", {kAccess, kReadOnlyFs, kIo, kNoSpace}},
    {"stat", {kAccess, kIo}},
    {"readlink", {kAccess, kIo}},
    {"fsync", {kIo, kNoSpace}},
    {"fchmod", {kIo}},
    {"fchown", {kIo}},
    {"linkat", {kAccess, kIo, kNoSpace}},
    {"ftruncate", {kIo, kTooBig}},
    {"new", {{"1", "I/O error 12"}}},  // ENOMEM, the system's own number
};

// What a run must give when `fault` hits `call`.
struct Expected {
    enum { Normal, LookupDefault, NoInput, Report } outcome;
    std::string why;
};

// The calls whose failure the tool absorbs, and why; every other failure
// must end the run with its report.
Expected Absorbed(const Call& call, const Fault& fault) {
    if (fault.text.empty()) return {Expected::Normal, "EINTR and short counts are retried"};
    if (call.lookup > 0) {
        if (call.kind == "close") return {Expected::Normal, "Config.ini was read in full before its close"};
        return {Expected::LookupDefault, "an unreadable Config.ini counts as absent"};
    }
    const bool makes_temporary =
        call.kind == "open" && (call.target.ends_with("/") || call.target.find("/.vorendix-") != std::string::npos);
    if (makes_temporary && fault.what == kAccess.what) {
        return {Expected::Normal, "a folder that takes no new file: the earlier patch is written in place"};
    }
    if (call.kind == "open" && call.target.ends_with("/") &&
        (fault.what == kIsFolder.what || fault.what == kNotSupported.what)) {
        return {Expected::Normal, "no unnamed temporary files there: a named one serves"};
    }
    if (call.existence_test) {
        return {Expected::NoInput, "the existence test answers no, silently"};
    }
    return {Expected::Report, ""};
}

// The function whose check a failure on `call` must report, if it is one of
// the steps that each have a place of their own.
std::string ReportingFunction(const Call& call, const std::string& input_path) {
    if (call.kind == "write" && call.target == "fd1") return "WriteStdout";
    if (call.kind == "write") return "ReplacementFile::Write";
    if (call.kind == "read" && call.target == input_path) return "InputFile::ReadExactly";
    if (call.kind == "rename") return "ReplacementFile::Commit";
    return "";
}

struct Reference {
    std::string stdout_bytes;
    std::string patch;
};

Reference ReferenceRun(Way way, const std::string& config) {
    const harness::Outcome outcome = harness::Execute(Conversion("", way, config), Preloadable());
    EXPECT_EQ(outcome.status, 0);
    return {outcome.stdout_bytes, outcome.program_dir.at("Test.fpa")};
}

// The function names addr2line gives for each code location, inlined callers included.
std::map<std::string, std::string> FunctionsAt(const std::set<std::string>& sites) {
    std::vector<std::string> command = {"addr2line", "-a", "-f", "-i", "-C", "-e", VORENDIX_DYNAMIC_BINARY};
    for (const std::string& site : sites) command.push_back("0x" + site);
    std::istringstream lines(harness::CommandOutput(command));
    std::map<std::string, std::string> names;
    std::string text;
    std::string current;
    bool name_line = false;
    while (std::getline(lines, text)) {
        if (text.starts_with("0x")) {
            current = std::to_string(std::stoull(text, nullptr, 16));
            name_line = true;
        } else if (name_line) {
            names[current] += text + "\n";
            name_line = false;
        } else {
            name_line = true;  // a file:line line; an inlined caller's name may follow
        }
    }
    return names;
}

class FaultSweep : public testing::TestWithParam<Way> {};

TEST_P(FaultSweep, EveryFailedCallFailsTheRunOrIsAbsorbed) {
    const Way way = GetParam();
    const bool in_place = way == Way::InPlace;
    const Reference normal = ReferenceRun(way, ConfigText());
    ASSERT_NE(normal.patch, kEarlierPatch);
    std::map<int, Reference> with_default;  // lookup number -> output with that key's default
    for (std::size_t lookup = 1; lookup <= kConfigKeys.size(); ++lookup) {
        with_default[static_cast<int>(lookup)] = ReferenceRun(way, ConfigText(kConfigKeys[lookup - 1].first));
    }

    std::vector<Call> calls = LogCalls(way);
    ASSERT_FALSE(calls.empty());
    std::set<std::string> kinds;
    for (const Call& call : calls) kinds.insert(call.kind);
    // Each way makes the calls that are its own.
    for (const std::string kind : {"rename", "fsync", "fchmod"}) {
        EXPECT_EQ(kinds.count(kind), in_place ? 0u : 1u) << kind;
    }
    if (::geteuid() == 0) {
        EXPECT_EQ(kinds.count("fchown"), in_place ? 0u : 1u);
    }
    EXPECT_EQ(kinds.count("linkat"), way == Way::Unnamed ? 1u : 0u);
    EXPECT_EQ(kinds.count("ftruncate"), in_place ? 1u : 0u);
    // The harness lays out the program folder in the same place every run.
    std::string input_path;
    for (const Call& call : calls) {
        if (call.kind == "open" && call.target.ends_with("/program/Test.bin")) input_path = call.target;
    }
    ASSERT_NE(input_path, "");
    for (Call& call : calls) {
        if (call.kind == "open" && call.target == input_path) break;
        call.existence_test = call.kind == "stat" && call.target == input_path;
    }

    std::map<std::string, std::string> site_expected;  // site (decimal) -> function
    std::map<std::string, std::string> site_fault;
    int injected = 0;
    for (const Call& call : calls) {
        const auto faults = kFaultsByKind.find(call.kind);
        ASSERT_NE(faults, kFaultsByKind.end()) << "no faults listed for " << call.kind;
        for (const Fault& fault : faults->second) {
            if (fault.text.empty() && call.kind != "read" && call.kind != "write") continue;
            const std::string name = call.kind + ":" + std::to_string(call.k) + ":" + fault.what;
            SCOPED_TRACE(name + " on " + call.target);
            // The run sees a fresh program folder of its own, so the paths
            // in the log stand for the same files in it.
            const harness::Outcome run = harness::Execute(Conversion(name, way), Preloadable());
            ++injected;
            ASSERT_FALSE(run.timed_out);
            const Tree& after = run.program_dir;
            EXPECT_EQ(after.size(), in_place ? 4u : 3u) << "a file was left behind or lost";
            if (in_place) {
                EXPECT_EQ(after.count("Link.fpa") ? after.at("Link.fpa") : "", after.at("Test.fpa"));
            }
            EXPECT_EQ(after.count("Test.bin") ? after.at("Test.bin") : "", kInput);
            EXPECT_EQ(after.count("Config.ini") ? after.at("Config.ini") : "", ConfigText());
            const std::string patch = after.count("Test.fpa") ? after.at("Test.fpa") : "(none)";

            const Expected expected = Absorbed(call, fault);
            if (expected.outcome != Expected::Report) {
                SCOPED_TRACE(expected.why);
                EXPECT_EQ(run.status, 0);
                EXPECT_EQ(run.stderr_bytes, "");
                const Reference& reference =
                    expected.outcome == Expected::LookupDefault ? with_default.at(call.lookup) : normal;
                if (expected.outcome == Expected::NoInput) {
                    EXPECT_EQ(run.stdout_bytes, kBanner);
                    EXPECT_EQ(patch, kEarlierPatch);
                } else {
                    EXPECT_EQ(run.stdout_bytes, reference.stdout_bytes);
                    EXPECT_EQ(patch, reference.patch);
                }
                continue;
            }
            EXPECT_EQ(run.status, 1);
            const std::regex report("Exception EInOutError in module Vorendix at ([0-9A-F]{8})\\.\r\n" +
                                    fault.text + "\\.\r\n\r\n");
            std::smatch found;
            EXPECT_TRUE(std::regex_match(run.stderr_bytes, found, report)) << run.stderr_bytes;
            EXPECT_EQ(normal.stdout_bytes.compare(0, run.stdout_bytes.size(), run.stdout_bytes), 0)
                << "stdout is not a prefix of the normal output: " << run.stdout_bytes;
            // Written in place, the patch may stop part-way, as a plain create would.
            if (!in_place) {
                EXPECT_TRUE(patch == kEarlierPatch || patch == normal.patch) << "partial patch file";
            }
            const std::string function = ReportingFunction(call, input_path);
            if (!function.empty() && found.size() == 2) {
                const std::string site = std::to_string(std::stoull(found[1].str(), nullptr, 16));
                site_expected[site] = function;
                site_fault[site] = name;
            }
        }
    }
    std::set<std::string> hex_sites;
    for (const auto& [site, function] : site_expected) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "%llX", std::stoull(site));
        hex_sites.insert(hex);
    }
    const std::map<std::string, std::string> names = FunctionsAt(hex_sites);
    for (const auto& [site, function] : site_expected) {
        EXPECT_NE(names.count(site) ? names.at(site).find(function) : std::string::npos, std::string::npos)
            << site_fault.at(site) << " reported a place in " << (names.count(site) ? names.at(site) : "?")
            << ", not in " << function;
    }
    std::set<std::string> functions;
    for (const auto& [site, function] : site_expected) functions.insert(function);
    EXPECT_EQ(functions.size(), in_place ? 3u : 4u) << "each step kind reports its own place";
    std::printf("faults injected: %d over %zu calls\n", injected, calls.size());
}

INSTANTIATE_TEST_SUITE_P(EveryWay, FaultSweep, testing::Values(Way::Unnamed, Way::Named, Way::InPlace),
                         [](const testing::TestParamInfo<Way>& info) {
                             switch (info.param) {
                                 case Way::Unnamed: return std::string("UnnamedTemporaryFile");
                                 case Way::Named: return std::string("NamedTemporaryFile");
                                 case Way::InPlace: return std::string("InPlace");
                             }
                             return std::string();
                         });

// At the prompt, a failed read of standard input is a failure like any other.
TEST(FaultSweepAlone, FailedReadAtThePromptIsReported) {
    harness::Run run{.args = {}};
    run.environment = {{"LD_PRELOAD", VORENDIX_FAULT_LIBRARY}, {"VORENDIX_FAULT", "read:1:" + kIo.what}};
    const harness::Outcome outcome = harness::Execute(run, Preloadable());
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.stdout_bytes, kBanner + harness::kPrompt);
    EXPECT_TRUE(outcome.stderr_bytes.ends_with("\r\nI/O error 5.\r\n\r\n")) << outcome.stderr_bytes;
}

// The input changes size between the size check and the read.
TEST(FaultSweepAlone, InputThatShrinksOrGrowsDuringTheRead) {
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
}

TEST(FaultSweepAlone, ConfigReplacedBetweenLookupsIsSeenByTheLaterOnes) {
    harness::Run run{.args = {"1", "Test.bin"},
                     .files = {{"Test.bin", "\x01"},
                               {"Config.ini", "[MAIN]\nSW_Ver=old\nDescription=old\nEnter=0\n"},
                               {"next.ini", "[MAIN]\nSW_Ver=new\nDescription=new\nEnter=0\n"}}};
    run.environment = {{"LD_PRELOAD", VORENDIX_FAULT_LIBRARY}, {"VORENDIX_SWAP", "next.ini"}};
    const harness::Outcome outcome = harness::Execute(run, Preloadable());
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.stdout_bytes, kBanner + "SW_Ver=old\r\nDescription=new\r\nAuthor=Vorendix by Kemrod\r\n");
    EXPECT_FALSE(outcome.program_dir.count("next.ini"));
}


// Ctrl-C, a kill or a closed terminal during a long conversion: the signal
// still ends the tool, and neither a temporary file nor a changed patch is left.
TEST(FaultSweepAlone, SignalDuringTheConversionLeavesNothing) {
    struct Variant {
        std::string name;
        harness::Tool tool;
        bool named_temporary;
    };
    const Variant variants[] = {
        {"unnamed temporary file", harness::ToolUnderTest(), false},
        {"named temporary file", Preloadable(), true},
    };
    for (const Variant& variant : variants) {
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(variant.name + ", signal " + std::to_string(signal_number));
            harness::Run run{.args = {"0", "big.bin"},
                             .files = {{"Config.ini", "[MAIN]\nEnter=0\n"}, {"big.fpa", kEarlierPatch}}};
            run.prepare = [](const fs::path& dir) {
                // A large input that costs no disk: the tool is still writing when the signal comes.
                const fs::path input = dir.parent_path() / "big.bin";
                { std::ofstream create(input); }
                fs::resize_file(input, std::uintmax_t{1} << 30);
                fs::create_symlink(input, dir / "big.bin");
            };
            if (variant.named_temporary) {
                run.environment = {{"LD_PRELOAD", VORENDIX_FAULT_LIBRARY}, {"VORENDIX_NO_TMPFILE", "1"}};
            }
            std::string shown;
            run.converse = [&](int, int from_stdout, int pid) {
                shown = harness::ReadUntil(from_stdout, "Author=Vorendix by Kemrod\r\n");
                ::kill(pid, signal_number);
            };
            const harness::Outcome outcome = harness::Execute(run, variant.tool);
            EXPECT_EQ(shown, kBanner + "SW_Ver=Custom SW\r\nDescription=Test\r\nAuthor=Vorendix by Kemrod\r\n");
            EXPECT_EQ(outcome.status, -signal_number) << "not ended by the signal";
            Tree after = outcome.program_dir;
            EXPECT_EQ(after.erase("big.bin"), 1u);
            EXPECT_EQ(after, (Tree{{"Config.ini", "[MAIN]\nEnter=0\n"}, {"big.fpa", kEarlierPatch}}));
        }
    }
}

}  // namespace
