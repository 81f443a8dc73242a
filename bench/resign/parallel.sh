#!/usr/bin/env bash
# Would a second core pay? On the 150 MB benchmark package:
#   1. unpacking with one unzip against two unzips at once on disjoint
#      halves (by bytes) of the entry list;
#   2. signing and verifying the 30 frameworks one after the other against
#      two at a time, with the project's codesign command.
#   bench/resign/parallel.sh [BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
runs=${2:-3}
bin=$build/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/ipa-parallel-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work/tmp XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME" "$TMPDIR"
identity=$("$bin/bench_make_package" "$work/in" 150 30 3000)
ipa=$work/in/Bench.ipa
"$bin/security" import "$work/in/identity.p12" -P bench >/dev/null

ms() { echo $(( ($2 - $1) / 1000000 )); }

# Halves by bytes: entries in archive order, cut where half the bytes lie.
unzip -Zl "$ipa" | awk 'NF >= 10 && $1 !~ /^d/ { print $4 "\t" substr($0, index($0, $10)) }' > "$work/sizes.txt"
total=$(awk -F'\t' '{ s += $1 } END { print s }' "$work/sizes.txt")
awk -F'\t' -v half=$((total / 2)) '{ s += $1; print $2 > (s <= half ? "'"$work"'/a.txt" : "'"$work"'/b.txt") }' "$work/sizes.txt"
echo "entries: $(wc -l < "$work/a.txt") + $(wc -l < "$work/b.txt")"

for run in $(seq "$runs"); do
    rm -rf "$work/one" "$work/two"; sync
    t0=$(date +%s%N); unzip -q "$ipa" -d "$work/one"; t1=$(date +%s%N)
    mkdir -p "$work/two"
    t2=$(date +%s%N)
    xargs -d '\n' unzip -q "$ipa" -d "$work/two" < "$work/a.txt" &
    xargs -d '\n' unzip -q "$ipa" -d "$work/two" < "$work/b.txt"
    wait
    t3=$(date +%s%N)
    echo "unpack run $run: one unzip $(ms "$t0" "$t1") ms, two halves at once $(ms "$t2" "$t3") ms"
done
diff -r "$work/one" "$work/two" >/dev/null && echo "(both unpack the same tree)"

entitlements=$work/Entitlements.plist
printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>get-task-allow</key><true/></dict></plist>\n' > "$entitlements"
app=$work/one/Payload/Bench.app
ls -d "$app"/Frameworks/*.framework "$app"/Frameworks/*.dylib > "$work/items.txt"
echo "items: $(wc -l < "$work/items.txt")"
sign_one() { "$bin/codesign" -vvv -fs "$identity" "$1" --entitlements="$entitlements" >/dev/null 2>&1; "$bin/codesign" -v "$1"; }
export -f sign_one; export bin identity entitlements
for run in $(seq "$runs"); do
    t0=$(date +%s%N); xargs -d '\n' -n1 -P1 bash -c 'sign_one "$0"' < "$work/items.txt"; t1=$(date +%s%N)
    xargs -d '\n' -n1 -P2 bash -c 'sign_one "$0"' < "$work/items.txt"; t2=$(date +%s%N)
    echo "sign + verify run $run: one at a time $(ms "$t0" "$t1") ms, two at a time $(ms "$t1" "$t2") ms"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
