#!/usr/bin/env bash
# Builds every configuration of the tool and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev

cmake --preset default
cmake --build --preset default
ctest --preset default -j2
