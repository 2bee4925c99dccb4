#!/usr/bin/env bash
# Whole-process speed and memory of the tool against the standard tools that
# do the same encoding (basenc, xxd) and against a plain copy of a file of the
# patch file's size. Inputs are random, in a warm page cache; each output is
# removed before each run; the contenders take turns, run after run.
# Usage: bash bench/whole_process.sh [runs]   (needs the Debian package "time")
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages cmake ninja-build g++ libbenchmark-dev time xxd coreutils hyperfine

runs=${1:-7}
for preset in bench bench-portable; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vorendix-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
for flavour in vector portable; do
    mkdir -p "$work/$flavour"
    printf '[MAIN]\r\nEnter=0\r\n' > "$work/$flavour/Config.ini"
done
cp build/bench/Vorendix "$work/vector/"
cp build/bench-portable/Vorendix "$work/portable/"
head -c $((64 << 20)) /dev/urandom > "$work/vector/in.bin"
ln "$work/vector/in.bin" "$work/portable/in.bin"
head -c $((128 << 10)) /dev/urandom > "$work/vector/small.bin"
printf 'int main() { return 0; }\n' > "$work/trivial.cpp"
g++ -O2 -o "$work/trivial" "$work/trivial.cpp"

"$work/vector/Vorendix" 03FC0000 in.bin >/dev/null
cp "$work/vector/in.fpa" "$work/patch-size.fpa"

now() { date +%s%N; }
# Runs one contender once and prints its wall time in microseconds. The
# "replace" contender finds an earlier patch in place, which it must
# replace durably (fsync before the rename); all others write a fresh file.
time_once() {
    local name=$1 start end
    shift
    rm -f "$work/out" "$work/vector/in.fpa" "$work/portable/in.fpa"
    if [ "$name" = replace ]; then cp "$work/patch-size.fpa" "$work/vector/in.fpa"; fi
    sync  # no writeback of an earlier run's output competes with this one
    start=$(now)
    "$@" >/dev/null
    end=$(now)
    echo $(( (end - start) / 1000 ))
}
declare -A samples
contenders=(vorendix replace portable basenc xxd cp)
command_of() {
    case "$1" in
        vorendix | replace) echo "$work/vector/Vorendix 03FC0000 in.bin" ;;
        portable) echo "$work/portable/Vorendix 03FC0000 in.bin" ;;
        basenc) echo "sh -c 'basenc --base16 -w0 $work/vector/in.bin > $work/out'" ;;
        xxd) echo "sh -c 'xxd -p -u -c0 $work/vector/in.bin > $work/out'" ;;
        cp) echo "cp $work/patch-size.fpa $work/out" ;;
    esac
}
for ((run = 0; run < runs; run++)); do
    for name in "${contenders[@]}"; do
        samples[$name]+="$(eval time_once "$name" "$(command_of "$name")") "
    done
done

# Startup: a 128 KiB conversion against a program that only starts and exits.
startup_us() {
    hyperfine -N --style none --warmup 20 --runs 300 \
        --prepare "rm -f $work/vector/small.fpa" --export-csv "$work/startup.csv" "$1" >/dev/null
    awk -F, 'NR == 2 { printf "%d\n", $4 * 1e6 }' "$work/startup.csv"  # the median, in µs
}
small=$(startup_us "$work/vector/Vorendix 0 small.bin")
trivial=$(startup_us "$work/trivial")

median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v limit="$2" 'BEGIN { print (r <= limit) ? "met" : "NOT MET" }'; }

declare -A median_of
for name in "${contenders[@]}"; do median_of[$name]=$(echo "${samples[$name]}" | median); done

peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
rss64=$(cd "$work/vector" && peak_kib ./Vorendix 0 in.bin)
rm -f "$work/vector/in.fpa"
head -c $((1 << 30)) /dev/urandom > "$work/vector/huge.bin"
rss1g=$(cd "$work/vector" && peak_kib ./Vorendix 0 huge.bin)
rm -f "$work/vector/huge.bin" "$work/vector/huge.fpa"

# A 1 GiB Config.ini whose [MAIN] comes last: one lookup reads all of it.
mkdir -p "$work/config"
cp build/bench/Vorendix "$work/config/"
awk 'BEGIN { line = sprintf("Key=%0100d\r", 0); while (n < 1073741824) {
    if (n % 65536 == 0) printf "[Section%d]\r\n", n; print line; n += length(line) + 1 }
    printf "[MAIN]\r\nEnter=0\r\n" }' > "$work/config/Config.ini"
cat "$work/config/Config.ini" >/dev/null  # into the page cache
config_mib=$(( $(stat -c %s "$work/config/Config.ini") >> 20 ))
rss_config=$(cd "$work/config" && peak_kib ./Vorendix)
config_runs=()
cat_runs=()
for ((run = 0; run < 3; run++)); do
    config_runs+=("$(time_once config "$work/config/Vorendix")")
    cat_runs+=("$(time_once cat cat "$work/config/Config.ini")")
done
config_us=$(echo "${config_runs[*]}" | median)
cat_us=$(echo "${cat_runs[*]}" | median)
rm -rf "$work/config"

echo
echo "64 MiB random input, median of $runs runs (wall time, ms):"
printf '  %-34s %8s\n' "Vorendix (vector)" "$(ms "${median_of[vorendix]}")" \
    "Vorendix replacing a patch (fsync)" "$(ms "${median_of[replace]}")" \
    "Vorendix (portable)" "$(ms "${median_of[portable]}")" \
    "basenc --base16 -w0" "$(ms "${median_of[basenc]}")" \
    "xxd -p -u -c0" "$(ms "${median_of[xxd]}")" \
    "cp of a patch-sized file" "$(ms "${median_of[cp]}")"
echo
r_basenc=$(ratio "${median_of[vorendix]}" "${median_of[basenc]}")
r_cp=$(ratio "${median_of[vorendix]}" "${median_of[cp]}")
r_xxd=$(ratio "${median_of[vorendix]}" "${median_of[xxd]}")
r_portable=$(ratio "${median_of[portable]}" "${median_of[basenc]}")
r_small=$(ratio "$small" "$trivial")
mem_growth=$(( rss1g - rss64 ))
printf '| %-44s | %-10s | %-8s | %s\n' "target" "measured" "limit" "verdict"
printf '| %-44s | %-10s | %-8s | %s\n' \
    "Vorendix / basenc" "$r_basenc" "0.45" "$(verdict "$r_basenc" 0.45)" \
    "Vorendix / cp" "$r_cp" "1.10" "$(verdict "$r_cp" 1.10)" \
    "Vorendix / xxd" "$r_xxd" "0.25" "$(verdict "$r_xxd" 0.25)" \
    "portable Vorendix / basenc" "$r_portable" "0.75" "$(verdict "$r_portable" 0.75)" \
    "128 KiB conversion / trivial program" "$r_small" "1.50" "$(verdict "$r_small" 1.50)" \
    "peak memory, 1 GiB input (KiB)" "$rss1g" "5120" "$(verdict "$rss1g" 5120)" \
    "peak memory growth 64 MiB -> 1 GiB (KiB)" "$mem_growth" "1024" "$(verdict "$mem_growth" 1024)"
echo
echo "Config.ini of $config_mib MiB, [MAIN] at its end, median of 3 runs:"
printf '  %-34s %8s\n' "Vorendix (one lookup)" "$(ms "$config_us")" \
    "cat Config.ini" "$(ms "$cat_us")"
printf '  %-34s %8s\n' "Vorendix / cat" "$(ratio "$config_us" "$cat_us")" \
    "peak memory (KiB)" "$rss_config"
