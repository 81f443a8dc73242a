#!/usr/bin/env bash
# Hostile packages through ipa-resign: every one must be refused (exit 1,
# "unzip failure") before an archive is written, within 30 s, without a
# crash, and without a file changed outside the run's work and output folders.
#   bench/hostile/run.sh [BUILD_DIR]
# Prints one line per package and a summary; exits 1 when any package fails the bar.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
program=$build/bin/ipa-resign

root=$(mktemp -d "${TMPDIR:-/tmp}/ipa-resign-hostile-XXXXXX")
trap 'rm -rf "$root"' EXIT
export HOME=$root/home TMPDIR=$root/tmp XDG_DATA_HOME=$root/home/.local/share
mkdir -p "$HOME" "$TMPDIR" "$root/canary/App.app" "$root/out" "$root/logs"
# What the packages aim at: files a successful escape would rewrite or remove.
printf 'canary\n' > "$root/canary/Info.plist"
printf 'canary\n' > "$root/canary/profile"
printf 'canary\n' > "$root/canary/App.app/Info.plist"
printf 'not a profile\n' > "$root/profile.mobileprovision"
python3 "$here/make_corpus.py" "$root/corpus" "$root/canary" || exit 1

# Everything under the scratch root but the output and log folders; folders by name only.
snapshot() {
    (cd "$root" && find . \( -path ./out -o -path ./logs \) -prune -o \( -type d -printf 'd %p\n' \) -o \
        \( -printf '%y %p %s %T@\n' \) | LC_ALL=C sort)
}
# The private temporary folder exists once the first run has made it.
mkdir -p "$TMPDIR/ipa-resigner-$(id -u)" && chmod 700 "$TMPDIR/ipa-resigner-$(id -u)"

total=0 refused=0 changed=0 slow=0 crashed=0 archives=0 worst=0
for ipa in "$root"/corpus/*.ipa; do
    name=$(basename "$ipa" .ipa)
    before=$(snapshot)
    start=$(date +%s.%N)
    timeout 30 "$program" --ipa "$ipa" --identity "Nobody (XXXXXXXXXX)" --profile "$root/profile.mobileprovision" \
        --name Out --bundle-id com.example.out --output "$root/out" >"$root/logs/stdout" 2>"$root/logs/stderr"
    status=$?
    seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    after=$(snapshot)
    total=$((total + 1))
    verdict=ok
    diff_lines=$(diff <(echo "$before") <(echo "$after") | grep -c '^[<>]')
    outputs=$(find "$root/out" -mindepth 1 | wc -l)
    if [ "$status" -ge 124 ]; then verdict="crash-or-timeout($status)"; crashed=$((crashed + 1));
    elif [ "$status" -ne 1 ] || ! grep -q "unzip failure" "$root/logs/stderr"; then verdict="not-refused($status)";
    else refused=$((refused + 1)); fi
    [ "$diff_lines" -ne 0 ] && { verdict="$verdict changed=$diff_lines"; changed=$((changed + diff_lines)); }
    [ "$outputs" -ne 0 ] && { verdict="$verdict outputs=$outputs"; archives=$((archives + outputs)); }
    awk -v s="$seconds" 'BEGIN { exit !(s > 30) }' && slow=$((slow + 1))
    awk -v s="$seconds" -v w="$worst" 'BEGIN { exit !(s > w) }' && worst=$seconds
    printf '%-36s exit %-3s %6.2f s  %s\n' "$name" "$status" "$seconds" "$verdict"
    rm -rf "$root/out"/* "$root/out"/.[!.]* 2>/dev/null
done
echo "packages $total, refused with exit 1: $refused, files changed outside: $changed," \
     "archives or staging left: $archives, over 30 s: $slow, crashes or time-outs: $crashed, slowest: ${worst} s"
[ "$refused" -eq "$total" ] && [ "$changed" -eq 0 ] && [ "$archives" -eq 0 ] && [ "$slow" -eq 0 ] && [ "$crashed" -eq 0 ]
