// The optional Config.ini beside the program: three header texts and the
// exit-prompt switch, each with a default. Every lookup reads the file afresh.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace config {

inline constexpr std::string_view ConfigFileName = "Config.ini";
inline constexpr std::string_view MainSection = "MAIN";

struct TextKey {
    std::string_view name;
    std::string_view fallback;
};

// The header keys in the order the patch file carries them.
inline constexpr TextKey HeaderKeys[] = {
    {"SW_Ver", "Custom SW"},
    {"Description", "Test"},
    {"Author", "Vorendix by Kemrod"},
};

inline constexpr std::string_view EnterKey = "Enter";
inline constexpr std::int32_t EnterDefault = 1;

// A signed 32-bit whole number written in decimal or in hexadecimal after
// "$", "x" or "0x"; nothing when the text is anything else or out of range.
std::optional<std::int32_t> ParseNumber(std::string_view text);

// The binding to one INI file: it records the path and never touches the file.
class ConfigFile {
public:
    explicit ConfigFile(std::string path) : path_(std::move(path)) {}

    std::string LookupText(std::string_view key, std::string_view fallback) const;
    std::int32_t LookupNumber(std::string_view key, std::int32_t fallback) const;

private:
    std::string path_;
};

}  // namespace config
