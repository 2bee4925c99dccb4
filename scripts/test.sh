#!/usr/bin/env bash
# Builds every configuration of the tool and runs every test: the Linux
# build, and the Windows build (cross-built, run under Wine) through the same
# end-to-end table, the parity test and the INI reader comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev \
    g++-mingw-w64-x86-64-posix wine64

cmake --preset windows
cmake --build --preset windows
ctest --preset windows

cmake --preset default -DVORENDIX_WINDOWS_DIR="$PWD/build/windows"
cmake --build --preset default
ctest --preset default -j2

# Both packages must build.
(cd build/windows && cpack)
(cd build/default && cpack)
