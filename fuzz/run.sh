#!/usr/bin/env bash
# Builds the fuzz harnesses (preset "fuzz": clang, libFuzzer, ASan + UBSan)
# and runs each one in turn for SECONDS (default 15) on its seed corpus.
# Fails at the first harness that crashes, leaks, hangs or runs out of memory;
# the input that did it is left in build-fuzz/artifacts/.
#
#   fuzz/run.sh [SECONDS] [HARNESS...]
#   fuzz/run.sh --seeds        rewrite fuzz/corpus from the test kit (needs build/)
#
# New inputs found are kept in build-fuzz/corpus/<harness>, so that later runs
# start where the last one ended; fuzz/corpus holds the committed seeds only.
# An input that once crashed belongs in tests/codesign/regressions/<harness>/,
# where the ordinary test suite runs it through the same reader.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--seeds" ]; then
    cmake --build build --target fuzz-seeds
    rm -rf fuzz/corpus
    IPA_FUZZ_CORPUS="$PWD/fuzz/corpus" build/bin/fuzz-seeds --gtest_brief=1
    exit 0
fi

seconds="${1:-15}"
shift || true
# NOTE: keep in step with IPA_FUZZ_READERS in fuzz/CMakeLists.txt.
harnesses=(macho superblob codedirectory requirements entitlements cms coderesources
           profilecms profile plist pkcs12 display verify deflate)
[ $# -gt 0 ] && harnesses=("$@")

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target fuzz-all  # the harnesses and what they link, not the programs

out=build-fuzz
mkdir -p "$out/artifacts" "$out/logs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for h in "${harnesses[@]}"; do
    mkdir -p "$out/corpus/$h"
    dict=()
    case "$h" in
        entitlements|plist|coderesources|profile) dict=(-dict=fuzz/dicts/plist.dict) ;;
    esac
    log="$out/logs/$h.log"
    echo "== fuzz-$h: ${seconds}s"
    # -timeout: one input taking longer than this is a hang, and fails the run.
    if "$out/fuzz/fuzz-$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$h-" "${dict[@]}" "$out/corpus/$h" "fuzz/corpus/$h" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
    else
        echo "fuzz-$h FAILED; the log is $log, the input in $out/artifacts/:" >&2
        grep -E 'ERROR|SUMMARY|Test unit written|==[0-9]+==' "$log" | head -20 >&2 || true
        status=1
        break
    fi
done
exit $status
