// The run: banner, conversion of the input beside the program, exit prompt,
// and the single failure path.
#pragma once

#include <string>

namespace vorendix {

struct Arguments {
    std::string StartAdr;   // first argument, verbatim; empty when missing
    std::string InputFile;  // second argument, verbatim; empty when missing
};

Arguments ReadArguments(int argc, const char* const* argv);
#ifdef _WIN32
// From the wide command line: StartAdr in the code page, InputFile as a path.
Arguments ReadArguments(int argc, const wchar_t* const* argv);
#endif

// Performs the whole run and gives the process exit status.
int Run(const Arguments& arguments);

}  // namespace vorendix
