#include "run.hpp"

int main(int argc, char** argv) { return vorendix::Run(vorendix::ReadArguments(argc, argv)); }
