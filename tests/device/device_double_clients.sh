#!/bin/sh
# device_double_clients.sh DEVICE-DOUBLE
# Starts the double on a socket of its own and runs Debian's clients against
# it, with USBMUXD_SOCKET_ADDRESS pointing there: idevice_id lists it,
# ideviceinfo reads its values through a TLS session, ideviceinstaller
# uploads, installs and upgrades a real package whose bytes the double keeps
# unchanged; each refusal comes back as the device's error. Broken frames on
# every layer leave the double serving.
set -eu
double=$1
work=$(mktemp -d)
pid=
stop() { if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; pid=; fi; }
trap 'stop; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/double.log" ] && cat "$work/double.log" >&2; exit 1; }
for tool in idevice_id ideviceinfo ideviceinstaller zip python3; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (libimobiledevice-utils, ideviceinstaller, zip, python3)"
done

udid=00008030-0011AA22BB33CC44
export USBMUXD_SOCKET_ADDRESS="UNIX:$work/mux"

start() {  # start [OPTIONS]: the double with this UDID, ready once its socket is there
    "$double" --socket "$work/mux" --udid "$udid" --name "Bench iPhone" --ios 16.4 "$@" 2>"$work/double.log" &
    pid=$!
    for _ in $(seq 600); do [ -S "$work/mux" ] && return 0; kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fail "the double did not come up with $*"
}

# A package as a build tool lays it out.
mkdir -p "$work/pkg/Payload/Bench.app"
cat >"$work/pkg/Payload/Bench.app/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
	<key>CFBundleExecutable</key><string>Bench</string>
	<key>CFBundleIdentifier</key><string>org.example.bench</string>
	<key>CFBundleVersion</key><string>7</string>
	<key>MinimumOSVersion</key><string>15.0</string>
</dict></plist>
PLIST
head -c 300000 /dev/urandom >"$work/pkg/Payload/Bench.app/Bench"
(cd "$work/pkg" && zip -qr ../Bench.ipa Payload)

start --keep "$work/keep"
mkdir -p "$work/keep"
idevice_id -l >"$work/out" || fail "idevice_id -l"
grep -q "^$udid" "$work/out" || fail "idevice_id -l does not list $udid: $(cat "$work/out")"
ideviceinfo -u "$udid" >"$work/out" || fail "ideviceinfo"
for line in "DeviceName: Bench iPhone" "ProductVersion: 16.4" "UniqueDeviceID: $udid" "DeviceClass: iPhone"; do
    grep -qx "$line" "$work/out" || fail "ideviceinfo lacks '$line'"
done
[ "$(ideviceinfo -u "$udid" -k ProductType)" = iPhone15,2 ] || fail "ideviceinfo -k ProductType"

ideviceinstaller -u "$udid" -i "$work/Bench.ipa" >"$work/out" 2>&1 || fail "install: $(cat "$work/out")"
for line in "Install: VerifyingApplication (40%)" "Install: Complete"; do
    grep -qF "$line" "$work/out" || fail "install output lacks '$line': $(cat "$work/out")"
done
cmp "$work/Bench.ipa" "$work/keep/org.example.bench.ipa" || fail "the kept package differs from the one installed"
ideviceinstaller -u "$udid" -l >"$work/out" || fail "list apps"
grep -q '^org.example.bench, "7"' "$work/out" || fail "the installed app is not listed: $(cat "$work/out")"
ideviceinstaller -u "$udid" -g "$work/Bench.ipa" >"$work/out" 2>&1 || fail "upgrade"
grep -qF "Upgrade: Complete" "$work/out" || fail "upgrade output: $(cat "$work/out")"

# Broken frames to the mux socket, to lockdownd and to AFC; then the double
# still answers.
python3 - "$work/mux" <<'PY' || fail "the broken frames could not be sent"
import socket, struct, sys
def mux():
    s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); return s
def plist(body):
    return ('<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>%s</dict></plist>' % body).encode()
def connect(port):
    s = mux()
    body = plist('<key>MessageType</key><string>Connect</string><key>DeviceID</key><integer>1</integer>'
                 '<key>PortNumber</key><integer>%d</integer>' % socket.htons(port))
    s.sendall(struct.pack('<IIII', 16 + len(body), 1, 8, 1) + body); s.recv(4096); return s
for frame in [struct.pack('<IIII', 8, 1, 8, 0), struct.pack('<IIII', 0xffffffff, 1, 8, 0),
              struct.pack('<IIII', 20, 1, 8, 0) + b'\xff\x00<pl', struct.pack('<IIII', 16, 0, 3, 0)]:
    s = mux(); s.sendall(frame); s.close()
s = connect(62078); s.sendall(struct.pack('>I', 0x7fffffff) + b'bplist00'); s.close()
s = connect(62078); s.sendall(struct.pack('>I', 9) + b'<garbage>'); s.close()
PY
idevice_id -l | grep -q "^$udid" || fail "the double stopped listing after broken frames"
[ "$(ideviceinfo -u "$udid" -k DeviceName)" = "Bench iPhone" ] || fail "ideviceinfo after broken frames"
stop
[ ! -e "$work/mux" ] || fail "the double left its socket behind"

# Each refusal as the device words it: the client shows the error's name and code.
while IFS='|' read -r refusal client expected; do
    start --refuse "$refusal"
    case $client in
    info) ideviceinfo -u "$udid" >"$work/out" 2>&1 && fail "$refusal: ideviceinfo succeeded" ;;
    install) ideviceinstaller -u "$udid" -i "$work/Bench.ipa" >"$work/out" 2>&1 || true ;;
    esac
    grep -qF "$expected" "$work/out" || fail "$refusal: no '$expected' in: $(cat "$work/out")"
    grep -qF "Install: Complete" "$work/out" && fail "$refusal: the install completed"
    stop
done <<'TABLE'
not-paired|info|Pairing dialog response pending
not-in-profile|install|"ApplicationVerificationFailed" with code 0xe8008015: Failed to verify code signature of /var/installd/Library/Caches/com.apple.mobile.installd.staging/temp.D0uB1e/extracted/Payload/Bench.app : 0xe8008015 (A valid provisioning profile for this executable was not found.)
invalid-signature|install|"ApplicationVerificationFailed" with code 0xe8008001
TABLE
echo "device double: all clients answered"
