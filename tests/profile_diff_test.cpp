// The INI reader of the POSIX build against the platform's own reader, run
// under Wine over a corpus of awkward files. Every lookup must agree, except
// the deliberate differences listed below.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.hpp"
#include "platform/profile_text.hpp"

namespace {

namespace fs = std::filesystem;

const std::vector<std::pair<std::string, std::string>> kLookups = {
    {"MAIN", "A"}, {"MAIN", "a"}, {"main", "B"}, {"MAIN", "C"}, {"MAIN", "D"},
    {"Second", "A"}, {"Third", "B"}, {"MAIN", "E"}, {"MAIN", ""},
    {"MAIN", "S"}, {"MAIN", "SW_Ver"}, {"MAIN", "Enter"}, {"MAIN]", "A"}, {"MA]IN", "C"}, {"Second]x", "A"},
};

// file:section:key where the two readers differ on purpose, and why.
const std::set<std::string> kDeliberate = {};

std::string Describe(const std::optional<std::string>& value) {
    if (!value) return "absent";
    std::string line = "value ";
    char digits[3];
    for (const unsigned char c : *value) {
        std::snprintf(digits, sizeof digits, "%02X", c);
        line += digits;
    }
    return line;
}

TEST(ProfileReader, AgreesWithThePlatformReader) {
    const harness::Tool tool = harness::ToolUnderTest();
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(VORENDIX_CORPUS)) {
        const fs::path file = entry.path();
        std::ifstream in(file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

        std::vector<std::string> words = tool.emulator;
        words.push_back(VORENDIX_PROBE);
        words.push_back("Z:" + file.string());
        for (const auto& [section, key] : kLookups) {
            words.push_back(section);
            words.push_back(key);
        }
        std::istringstream answers(harness::CommandOutput(words));
        for (const auto& [section, key] : kLookups) {
            std::string platform_answer;
            std::getline(answers, platform_answer);
            if (!platform_answer.empty() && platform_answer.back() == '\r') platform_answer.pop_back();
            const std::string ours = Describe(platform::FindProfileValue(text, section, key));
            const std::string where = file.stem().string() + ":" + section + ":" + key;
            if (kDeliberate.count(where)) continue;
            EXPECT_EQ(ours, platform_answer) << where;
            ++compared;
        }
    }
    std::printf("compared %d lookups\n", compared);
    EXPECT_GT(compared, 100);
}

}  // namespace
