#!/usr/bin/env bash
# Builds every configuration of the tool and runs every test:
#   windows   the Windows build cross-built with MinGW-w64: its unit tests under Wine
#   default   the Linux build: unit tests, the end-to-end table, the fault sweep,
#             and, against the Windows build under Wine, the same table, the
#             parity test and the INI reader comparison
#   sanitize  the Linux suite again under AddressSanitizer and UBSan
#   fuzz      each libFuzzer target for a bounded time
# Prints a line per stage; a stage that fails prints its whole log.
# The logs stay in build/logs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

# binutils and binutils-mingw-w64-x86-64: the tests map report locations
# with addr2line and read the Windows resources back with objdump.
ensure_packages cmake ninja-build g++ binutils libgtest-dev libgmock-dev \
    googletest g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 clang clang-14 libclang-rt-14-dev

logs=build/logs
mkdir -p "$logs"
passed=0

# Runs one step quietly; on failure shows its log and stops.
step() {
    local name=$1
    shift
    if ! "$@" >"$logs/$name.log" 2>&1; then
        echo "FAILED: $name (log: $logs/$name.log)"
        # All of it but the lines of tests that started and passed.
        grep -Ev '^ +Start +[0-9]+: |Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$logs/$name.log" || true
        local counts
        counts=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$logs/$name.log" | tail -n 1 || true)
        [ -n "$counts" ] && echo "$counts"
        exit 1
    fi
}

# Builds and tests one preset, and prints its line.
stage() {
    local preset=$1
    shift
    step "$preset-configure" cmake --preset "$preset" "$@"
    step "$preset-build" cmake --build --preset "$preset"
    step "$preset-test" ctest --preset "$preset" -j2
    local summary total
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$logs/$preset-test.log" | tail -n 1)
    total=${summary##* }
    passed=$((passed + total))
    echo "$preset: $summary"
}

stage windows
stage default -DVORENDIX_WINDOWS_DIR="$PWD/build/windows"
stage sanitize
stage fuzz

# Both packages must build.
step package-windows bash -c 'cd build/windows && cpack'
step package-linux bash -c 'cd build/default && cpack'
echo "packages: $(cd build && ls windows/Vorendix-*.zip default/Vorendix-*.tar.gz | tr '\n' ' ')"
echo "tests: $passed passed, 0 failed"  # a failure has stopped the script before this
