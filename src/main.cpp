#include "platform/platform.hpp"
#include "run.hpp"

int main(int argc, char** argv) {
    platform::PrepareProcess();
    return vorendix::Run(vorendix::ReadArguments(argc, argv));
}
