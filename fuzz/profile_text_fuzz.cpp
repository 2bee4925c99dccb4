// The INI reader over arbitrary bytes: the first line names the section, the
// second the key, the rest is the file.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/profile_text.hpp"

namespace {

std::string_view TakeLine(std::string_view& text) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view section = TakeLine(input);
    const std::string_view key = TakeLine(input);
    const auto value = platform::FindProfileValue(input, section, key);
    if (value) {
        if (value->size() > platform::kProfileValueMax) std::abort();
        // A value never spans lines.
        if (value->find_first_of("\r\n") != std::string::npos) std::abort();
    }
    if (platform::FindProfileValue(input, section, key) != value) std::abort();
    return 0;
}
