#!/usr/bin/env bash
# Re-sign benchmark: ipa-resign on a generated package of 150 MB with 30
# frameworks and 3,000 resource files.
#   bench/resign/run.sh [BUILD_DIR] [MEGABYTES FRAMEWORKS RESOURCES]
# Prints the wall time of each stage (from the log's time stamps), the whole
# run's wall time, and the front end's own CPU time and peak memory.
# Uses the project's security and codesign commands when they are built,
# otherwise stand-ins that sign nothing (then the signing figure only shows
# the engine's own cost per item).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
megabytes=${2:-150}; frameworks=${3:-30}; resources=${4:-3000}
bin=$build/bin

work=$(mktemp -d "${TMPDIR:-/tmp}/ipa-resign-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work/tmp XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME" "$TMPDIR"

echo "== generating ${megabytes} MB, ${frameworks} frameworks, ${resources} resources"
identity=$("$bin/bench_make_package" "$work/in" "$megabytes" "$frameworks" "$resources")
ls -l "$work/in/Bench.ipa" | awk '{printf "package: %.1f MB\n", $5/1048576}'

program=$bin/ipa-resign
if [ -x "$bin/security" ] && [ -x "$bin/codesign" ]; then
    "$bin/security" import "$work/in/identity.p12" -P bench >/dev/null
    tools="project's security and codesign"
else
    # Stand-ins beside a copy of the program, where it looks for its tools.
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

/usr/bin/time -v -o "$work/time.txt" "$program" --ipa "$work/in/Bench.ipa" --identity "$identity" \
    --profile "$work/in/Bench.mobileprovision" --profile "$work/in/BenchShare.mobileprovision" \
    --name "Bench Resigned" --profile-bundle-id \
    --output "$work/out" --print-usage ${BENCH_EXTRA_ARGS:-} >"$work/log.txt" 2>"$work/err.txt" || {
    echo "ipa-resign failed:"; cat "$work/err.txt"; exit 1; }

python3 - "$work/log.txt" "$work/err.txt" "$work/time.txt" <<'PY'
import re, sys
from datetime import datetime
log, err, tim = (open(p, encoding="utf-8", errors="replace").read() for p in sys.argv[1:4])
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
PY
