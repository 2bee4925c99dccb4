// The failure report: pure text functions.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace vorendix {

// The failure text for `failure`, without its final ".".
std::string FailureText(const platform::Failure& failure);

// The three-line report for `failure` in the executable named `module`.
std::string FailureReport(const platform::Failure& failure, std::string_view module);

// The file name of a path, without its folder.
std::string FileNamePart(std::string_view path);

}  // namespace vorendix
