#!/usr/bin/env bash
# Builds every configuration of the tool and runs every test:
#   default   the Linux build: unit tests, the end-to-end table, the fault sweep,
#             and, against the Windows build under Wine, the same table, the
#             parity test and the INI reader comparison
#   windows   the Windows build cross-built with MinGW-w64: its unit tests under Wine
#   sanitize  the Linux suite again under AddressSanitizer and UBSan
#   fuzz      each libFuzzer target for a bounded time
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev \
    googletest g++-mingw-w64-x86-64-posix wine64 clang clang-14 libclang-rt-14-dev

cmake --preset windows
cmake --build --preset windows
ctest --preset windows

cmake --preset default -DVORENDIX_WINDOWS_DIR="$PWD/build/windows"
cmake --build --preset default
ctest --preset default -j2

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize -j2

cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz -j2

# Both packages must build.
(cd build/windows && cpack)
(cd build/default && cpack)
