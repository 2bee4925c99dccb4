#include "run.hpp"

#ifdef _WIN32
// The wide command line carries every character of a file name.
int wmain(int argc, wchar_t** argv) { return vorendix::Run(vorendix::ReadArguments(argc, argv)); }
#else
int main(int argc, char** argv) { return vorendix::Run(vorendix::ReadArguments(argc, argv)); }
#endif
