#!/usr/bin/env bash
# Signing benchmarks of the codesign command: time and peak memory of
#   1. signing one 100 MB Mach-O,
#   2. signing an application bundle with 3,000 resource files,
#   3. one sign plus one verify of a small dylib (process start and keychain
#      loading included), averaged over many runs.
#
#   bench/codesign/run.sh [BUILD_DIR]      (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build}" && pwd)"
codesign="$build/bin/codesign"
import="$build/bin/codesign_bench_import"
work="$(mktemp -d "${TMPDIR:-/tmp}/codesign-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME="$work/data"
clang=$(command -v clang || command -v clang-14)
ld=$(command -v ld64.lld || command -v ld64.lld-14 || echo /usr/lib/llvm-14/bin/ld64.lld)

# --- a test PKI: root, intermediate, leaf with the code-signing usage --------
cd "$work"
cat > ext.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
[inter]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
1.2.840.113635.100.6.2.1 = ASN1:NULL
[leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
1.2.840.113635.100.6.1.2 = critical, ASN1:NULL
CNF
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 30 \
  -subj "/CN=Bench Root CA" -extensions ca -config ext.cnf 2>/dev/null
openssl req -config ext.cnf -newkey rsa:2048 -nodes -keyout inter.key -out inter.csr -subj "/CN=Bench Intermediate" 2>/dev/null
openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -CAcreateserial -out inter.pem -days 30 \
  -extfile ext.cnf -extensions inter 2>/dev/null
openssl req -config ext.cnf -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr \
  -subj "/CN=Apple Development: Bench (BENCH12345)/OU=BENCH12345/O=Bench" 2>/dev/null
openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -CAcreateserial -out leaf.pem -days 30 \
  -extfile ext.cnf -extensions leaf 2>/dev/null
cat inter.pem root.pem > chain.pem
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile chain.pem -passout pass:pw -out id.p12
"$import" id.p12 pw
identity="Apple Development: Bench (BENCH12345)"

cat > libSystem.tbd <<'TBD'
--- !tapi-tbd
tbd-version:     4
targets:         [ arm64-ios ]
install-name:    '/usr/lib/libSystem.B.dylib'
current-version: 1311
exports:
  - targets:         [ arm64-ios ]
    symbols:         [ _puts, dyld_stub_binder ]
...
TBD
link() {  # link OUTPUT SOURCE [ld options]
  local out=$1 src=$2; shift 2
  printf '%s' "$src" > "$out.c"
  "$clang" -target arm64-apple-ios15.0 -O1 -c "$out.c" -o "$out.o"
  "$ld" -arch arm64 -platform_version ios 15.0 15.0 -o "$out" "$out.o" libSystem.tbd "$@"
}
cat > Entitlements.plist <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>application-identifier</key>
	<string>BENCH12345.com.example.bench</string>
	<key>get-task-allow</key>
	<true/>
</dict>
</plist>
PLIST

# measure LABEL RUNS command...: best and median wall time of RUNS runs, the
# CPU time (user + system) of the best one, and the largest peak RSS. The
# machine may be shared: CPU time is the steadier figure.
measure() {
  local label=$1 runs=$2; shift 2
  local out="$work/measure.txt"; : > "$out"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S %M" -a -o "$out" "$@" >/dev/null 2>&1 || { echo "$label: command failed"; return; }
  done
  sort -n "$out" | awk -v label="$label" '
    { wall[NR] = $1; cpu[NR] = $2 + $3; if ($4 > rss) rss = $4 }
    END { printf "%s: best %.0f ms, median %.0f ms wall (best run %.0f ms CPU), peak RSS %d KB\n",
          label, wall[1] * 1000, wall[int((NR + 1) / 2)] * 1000, cpu[1] * 1000, rss }'
}

# --- 1. one 100 MB Mach-O ------------------------------------------------------
link big 'int puts(const char*); __attribute__((used)) const unsigned char blob[100000000] = {1};
int main(void) { puts("big"); return 0; }'
echo "100 MB Mach-O: $(stat -c %s big) bytes"
measure "sign 100 MB Mach-O" 5 "$codesign" -fs "$identity" big --entitlements=Entitlements.plist
measure "verify 100 MB Mach-O" 5 "$codesign" -v big

# --- 2. an application of 3,000 resource files --------------------------------
app="$work/Payload/Bench.app"
mkdir -p "$app"
link "$app/Bench" 'int puts(const char*); int main(void) { puts("app"); return 0; }'
rm -f "$app/Bench.c" "$app/Bench.o"
cat > "$app/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>Bench</string>
	<key>CFBundleIdentifier</key>
	<string>com.example.bench</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
</dict>
</plist>
PLIST
for d in $(seq 0 29); do
  mkdir -p "$app/res$d"
  for f in $(seq 0 99); do head -c $(( 2048 + (f * 37) % 4096 )) /dev/urandom > "$app/res$d/file$f.dat"; done
done
measure "sign app with 3,000 resources" 5 "$codesign" -vvv -fs "$identity" "$app" --entitlements=Entitlements.plist
measure "verify app with 3,000 resources" 5 "$codesign" -v "$app"

# --- 3. a small dylib: sign + verify, as the system runs them -------------------
link libsmall.dylib 'int answer(void) { return 42; }' -dylib -install_name @rpath/libsmall.dylib
# Mean wall and CPU time per run of a loop of RUNS runs (process start and
# keychain loading included); /usr/bin/time sums the CPU time of every child.
loop_measure() {  # loop_measure LABEL RUNS SCRIPT
  local label=$1 runs=$2 script=$3
  local out="$work/loop.txt"
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%U %S" -o "$out" bash -c "for _ in \$(seq $runs); do $script; done" >/dev/null 2>&1
  end=$(date +%s%N)
  awk -v label="$label" -v runs="$runs" -v wall=$(( (end - start) / 1000 )) \
    '{ printf "%s: %.2f ms wall, %.2f ms CPU per run (mean of %d)\n", label, wall / runs / 1000, ($1 + $2) * 1000 / runs, runs }' "$out"
}
q_codesign=$(printf '%q' "$codesign")
q_identity=$(printf '%q' "$identity")
loop_measure "baseline: an empty program (/bin/true)" 200 "/bin/true"
loop_measure "small dylib sign + verify" 200 \
  "$q_codesign -vvv -fs $q_identity libsmall.dylib --entitlements=Entitlements.plist; $q_codesign -v libsmall.dylib"
loop_measure "small dylib sign" 200 "$q_codesign -vvv -fs $q_identity libsmall.dylib --entitlements=Entitlements.plist"
loop_measure "small dylib verify" 200 "$q_codesign -v libsmall.dylib"
measure "small dylib sign (peak memory)" 5 "$codesign" -vvv -fs "$identity" libsmall.dylib --entitlements=Entitlements.plist
measure "small dylib verify (peak memory)" 5 "$codesign" -v libsmall.dylib
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
