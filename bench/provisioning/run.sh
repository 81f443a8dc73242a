#!/usr/bin/env bash
# The checks made before a re-sign, timed on the re-sign benchmark's package
# (150 MB, 30 frameworks, 3,000 resource files, one extension):
#   bench/provisioning/run.sh [BUILD_DIR] [MEGABYTES FRAMEWORKS RESOURCES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
megabytes=${2:-150}; frameworks=${3:-30}; resources=${4:-3000}
bin=$build/bin

work=$(mktemp -d "${TMPDIR:-/tmp}/ipa-checks-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work/tmp XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME" "$TMPDIR"

"$bin/bench_make_package" "$work/in" "$megabytes" "$frameworks" "$resources" >/dev/null
/usr/bin/unzip -q "$work/in/Bench.ipa" -d "$work/unpacked"
du -sh "$work/unpacked" | awk '{print "unpacked: " $1}'
"$bin/bench_provisioning_checks" "$work/unpacked/Payload/Bench.app" "$work/in/Bench.mobileprovision" \
    "$work/in/identity.pem" com.example.bench "$work/in/BenchShare.mobileprovision"
