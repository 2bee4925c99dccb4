// The INI rules of the platform's private-profile reader, as a pure function
// over a file's bytes. The POSIX build reads Config.ini with it; the Windows
// build calls the platform's own reader and is compared against this one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace platform {

// The value of `key` in the first `section` of `text`, or nothing when the
// section or the key is absent. Names match without regard to ASCII case.
std::optional<std::string> FindProfileValue(std::string_view text,
                                            std::string_view section,
                                            std::string_view key);

}  // namespace platform
