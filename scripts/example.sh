#!/usr/bin/env bash
# Builds the tool, puts it beside the bundled example files and converts
# examples/Test.bin, then shows the patch file it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev

cmake --preset default >/dev/null
cmake --build --preset default --target Vorendix

place=build/example
rm -rf "$place"
mkdir -p "$place"
cp build/default/Vorendix examples/Config.ini examples/Test.bin "$place/"

"$place/Vorendix" 03FC0000 Test.bin
echo "---- $place/Test.fpa (every line ends with CR LF) ----"
cat "$place/Test.fpa"
