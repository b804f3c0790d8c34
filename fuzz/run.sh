#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/<name>_fuzz.cpp) against the core sources with
# AddressSanitizer and UndefinedBehaviorSanitizer, seeds each from the tile-compressed
# reference files and runs it for FUZZ_SECONDS (default 30).
#   bash fuzz/run.sh                 # every target
#   bash fuzz/run.sh rice plio       # some of them
# Needs clang 16 or newer with its libFuzzer runtime (Debian: clang-16 libclang-rt-16-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${CXX:-}
if [ -z "$cxx" ]; then
    for c in clang++-18 clang++-17 clang++-16 clang++; do
        if command -v "$c" >/dev/null; then cxx=$c; break; fi
    done
fi
[ -n "$cxx" ] || { echo "fuzz/run.sh: no clang++ found (apt-get install clang-16 libclang-rt-16-dev)" >&2; exit 1; }

out=build/fuzz
seconds=${FUZZ_SECONDS:-30}
targets=("$@")
# Every fuzz/<name>_fuzz.cpp by default.
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/*_fuzz.cpp; do t=${f#fuzz/}; targets+=("${t%_fuzz.cpp}"); done
fi
# libstdc++ 12 offers <expected> only when the compiler announces C++20 concepts in full;
# clang 16 implements what it needs but still announces the older value.
flags=(-std=c++2b -O1 -g -fno-omit-frame-pointer -ffp-contract=off -Isrc
       -U__cpp_concepts -D__cpp_concepts=202002L -Wno-builtin-macro-redefined
       -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# The core, compiled once with coverage for the fuzzer. An object older than its source or than
# the newest header is compiled again: a changed record layout must not meet stale objects.
mkdir -p "$out/obj"
newest_header=$(find src -name '*.hpp' -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2-)
find src -name '*.cpp' -not -path 'src/python/*' | while read -r src; do
    obj="$out/obj/$(echo "$src" | tr / _).o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
        echo "$src $obj"
    fi
done | xargs -r -P "${FUZZ_JOBS:-4}" -n 2 sh -c \
    "$cxx ${flags[*]} -fsanitize=fuzzer-no-link -c \"\$0\" -o \"\$1\""
rm -f "$out/libcore.a"
ar rcs "$out/libcore.a" "$out"/obj/*.o

for t in "${targets[@]}"; do
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "fuzz/${t}_fuzz.cpp" "$out/libcore.a" -ldeflate -lz -o "$out/${t}_fuzz"
    corpus="$out/corpus/$t"
    python3 fuzz/seeds.py "$t" "$corpus"
    # Crash, leak and timeout inputs go under the ignored build folder, never into the tree.
    artifacts="$out/artifacts/$t"
    mkdir -p "$artifacts"
    echo "== $t ($seconds s)"
    "$out/${t}_fuzz" -max_total_time="$seconds" -max_len=262144 -rss_limit_mb=4096 \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus"
done
