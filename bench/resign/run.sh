#!/usr/bin/env bash
# Re-sign benchmark: ipa-resign on a generated package of 150 MB with 30
# frameworks and 3,000 resource files, and on a package of realistic
# compressibility (see make_package.cpp), each beside the plain round trip
# (unzip -q, then zip -qry) of the same package in the same run.
#   [RUNS=3] bench/resign/run.sh [BUILD_DIR] [MEGABYTES FRAMEWORKS RESOURCES]
# Of RUNS pairs per package it prints, for the median re-sign, the wall
# time of each stage (from the log's time stamps), the whole run's wall
# time, the front end's own CPU time and peak memory, the median re-sign
# as a ratio of the median round trip, both runs' CPU times (children
# included), the output sizes, and the load average before and after.
# Uses the project's security and codesign commands when they are built,
# otherwise stand-ins that sign nothing (then the signing figure only shows
# the engine's own cost per item).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
megabytes=${2:-150}; frameworks=${3:-30}; resources=${4:-3000}
runs=${RUNS:-3}
bin=$build/bin

work=$(mktemp -d "${TMPDIR:-/tmp}/ipa-resign-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work/tmp XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME" "$TMPDIR"

program=$bin/ipa-resign
if [ -x "$bin/security" ] && [ -x "$bin/codesign" ]; then
    real_tools=1
    tools="project's security and codesign"
else
    # Stand-ins beside a copy of the program, where it looks for its tools.
    real_tools=0
    mkdir -p "$work/bin"
    cp "$program" "$work/bin/"
    program=$work/bin/ipa-resign
    printf '#!/bin/sh\n[ "$1" = find-certificate ] && exec cat "%s"\nexec openssl cms -verify -noverify -inform DER -in "$4" 2>/dev/null\n' \
        "$work/in/identity.pem" > "$work/bin/security"
    printf '#!/bin/sh\n[ "$1" = -v ] && exit 0\necho "$4: signed"\n' > "$work/bin/codesign"
    chmod +x "$work/bin/security" "$work/bin/codesign"
    tools="stand-in security and codesign (nothing is really signed)"
fi
echo "tools: $tools"

# The plain round trip the re-sign is measured against: unpack, pack again,
# the previous run's output removed just before, as a user's disk holds it.
round_trip() {  # round_trip IPA
    rm -rf "$work/plain"
    mkdir -p "$work/plain"
    unzip -q "$1" -d "$work/plain/tree"
    (cd "$work/plain/tree" && zip -qry "$work/plain/out.ipa" .)
}
export -f round_trip
export work

# wall_of TIME_FILE: the wall time GNU time -v wrote, in seconds.
wall_of() {
    python3 - "$1" <<'PY'
import re, sys
m = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", open(sys.argv[1]).read())
print(f"{int(m.group(1) or 0) * 3600 + int(m.group(2)) * 60 + float(m.group(3)):.3f}")
PY
}

# cpu_of TIME_FILE: user + system seconds GNU time -v wrote.
cpu_of() {
    awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.3f", s }' "$1"
}
median_of() {  # median_of VALUE...
    printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"
}

# bench_package LABEL DIR: the plain round trip and the whole re-sign of
# DIR/Bench.ipa, one after the other, with the re-sign's stage figures.
bench_package() {
    local label=$1 dir=$2 identity=$3
    echo "== $label"
    ls -l "$dir/Bench.ipa" | awk '{printf "package: %.1f MB\n", $5/1048576}'
    if [ "$real_tools" = 1 ]; then "$bin/security" import "$dir/identity.p12" -P bench >/dev/null; fi
    # RUNS pairs (plain round trip, then re-sign), alternating, with no sync
    # in between: each run finds the disk as the run before left it, and
    # the previous run's output is removed just before it starts. The
    # figures are the medians; the CPU time counts every child process.
    local plains=() plain_cpus=() walls=() cpus=() i
    for i in $(seq "$runs"); do
        /usr/bin/time -f "%e %U %S" -o "$work/plain-time$i.txt" bash -c 'round_trip "$0"' "$dir/Bench.ipa"
        plains+=("$(awk '{print $1}' "$work/plain-time$i.txt")")
        plain_cpus+=("$(awk '{printf "%.3f", $2 + $3}' "$work/plain-time$i.txt")")
        plain_size=$(stat -c %s "$work/plain/out.ipa")
        rm -rf "$work/out"
        /usr/bin/time -v -o "$work/time$i.txt" "$program" --ipa "$dir/Bench.ipa" --identity "$identity" \
            --profile "$dir/Bench.mobileprovision" --profile "$dir/BenchShare.mobileprovision" --name "Bench Resigned" --profile-bundle-id \
            --output "$work/out" --print-usage ${BENCH_EXTRA_ARGS:-} >"$work/log$i.txt" 2>"$work/err$i.txt" || {
            echo "ipa-resign failed:"; cat "$work/err$i.txt"; exit 1; }
        walls+=("$(wall_of "$work/time$i.txt") $i")
        cpus+=("$(cpu_of "$work/time$i.txt")")
        [ "$i" = "$runs" ] || rm -rf "$work/out"
    done
    local median plain
    median=$(printf '%s\n' "${walls[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p" | cut -d' ' -f2)
    plain=$(printf '%s\n' "${plains[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
    echo "runs: $runs; re-sign wall $(printf '%s\n' "${walls[@]}" | cut -d' ' -f1 | sort -n | tr '\n' ' ')s; round trip $(printf '%s\n' "${plains[@]}" | sort -n | tr '\n' ' ')s"
    echo "CPU: re-sign $(printf '%s\n' "${cpus[@]}" | sort -n | tr '\n' ' ')s; round trip $(printf '%s\n' "${plain_cpus[@]}" | sort -n | tr '\n' ' ')s"
    echo "CPU medians: re-sign $(median_of "${cpus[@]}") s, round trip $(median_of "${plain_cpus[@]}") s"
    echo "output size: re-sign $(stat -c %s "$work/out/Bench Resigned.ipa") bytes, round trip (zip level 6) $plain_size bytes, ratio $(echo "scale=4; $(stat -c %s "$work/out/Bench Resigned.ipa") / $plain_size" | bc)"
    cp "$work/log$median.txt" "$work/log.txt"; cp "$work/err$median.txt" "$work/err.txt"; cp "$work/time$median.txt" "$work/time.txt"
    report "$plain"
    # Not timed: the output passes the independent verifier.
    if [ "$real_tools" = 1 ]; then
        rm -rf "$work/check"
        unzip -q "$work/out/Bench Resigned.ipa" -d "$work/check"
        if python3 "$here/../../tests/codesign/independent_verify.py" "$work/check/Payload/Bench.app" >"$work/verify.txt"; then
            echo "independent verifier: passed"
        else
            echo "independent verifier: FAILED"; head -20 "$work/verify.txt"
        fi
        rm -rf "$work/check"
    fi
}

report() {  # report PLAIN_SECONDS
    python3 - "$work/log.txt" "$work/err.txt" "$work/time.txt" "$1" <<'PY'
import re, sys
from datetime import datetime
log, err, tim = (open(p, encoding="utf-8", errors="replace").read() for p in sys.argv[1:4])
plain = float(sys.argv[4])
stamps = {}
for line in log.splitlines():
    m = re.match(r"\[(\d\d/\d\d \d\d:\d\d:\d\d) (\d\d\d)\] (.*)", line)
    if m:
        t = datetime.strptime(m.group(1), "%m/%d %H:%M:%S").timestamp() + int(m.group(2)) / 1000
        stamps.setdefault(m.group(3).split(": ")[0], t)
def span(a, b):
    return stamps[b] - stamps[a]
stages = [("unzip", "Start unzip the ipa file to path", "Unzip ipa file succeeded"),
          ("entitlements", "Generating entitlements..", "Entitlements generated"),
          ("Info.plist + profile", "Editing the Info.plist file...", "Embedded Provision edited successfully"),
          ("signing", "Beginning the codesign...", "Verification Codesigning dones"),
          ("zip", "Beginning the zip of the IPA file in the path", "Zipping done. IPA file saved in the path")]
for name, a, b in stages:
    print(f"{name:22s} {span(a, b):8.3f} s")
wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", tim)
wall_s = int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
usage = re.search(r"user ([\d.]+) s, system ([\d.]+) s, peak memory (\d+) KiB", err)
own = float(usage.group(1)) + float(usage.group(2))
print(f"{'whole run (wall)':22s} {wall_s:8.3f} s")
print(f"front end own CPU      {own:8.3f} s = {100 * own / wall_s:.2f}% of wall time (user {float(usage.group(1)):.3f} s, system {float(usage.group(2)):.3f} s)")
print(f"front end peak memory  {int(usage.group(3)) / 1024:8.1f} MiB")
total = re.search(r"User time \(seconds\): ([\d.]+)", tim), re.search(r"System time \(seconds\): ([\d.]+)", tim)
print(f"with all tools, CPU    {float(total[0].group(1)) + float(total[1].group(1)):8.3f} s")
print(f"plain unzip -q + zip -qry {plain:5.3f} s; re-sign / round trip = {wall_s / plain:.3f}")
PY
}

echo "== generating ${megabytes} MB, ${frameworks} frameworks, ${resources} resources"
identity=$("$bin/bench_make_package" "$work/in" "$megabytes" "$frameworks" "$resources")
echo "== generating the realistic package: 30 MB of images, ${frameworks} frameworks, ${resources} resources"
real_identity=$("$bin/bench_make_package" "$work/real" 30 "$frameworks" "$resources" realistic)
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
bench_package "benchmark package (${megabytes} MB of incompressible resources)" "$work/in" "$identity"
bench_package "realistic package (binaries deflate to half, images not, plists and strings well)" "$work/real" "$real_identity"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
