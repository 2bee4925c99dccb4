// The INI reader over arbitrary bytes: the first line names the section, the
// second the key, the rest is the file. The streaming reader, fed whole, byte
// by byte or in pieces of 7, must agree with the plain reference.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/profile_text.hpp"
#include "profile_reference.hpp"

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
    if (reference::FindValue(input, section, key) != value) std::abort();
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
        platform::ProfileScanner scanner(section, key);
        for (std::size_t at = 0; at < input.size() && scanner.Feed(input.substr(at, piece)); at += piece) {
        }
        if (scanner.Finish() != value) std::abort();
    }
    return 0;
}
