#!/usr/bin/env bash
# The built-in demo: a sample package, a demo signing identity and a demo
# provisioning profile, made on first use in a home folder of their own, so
# that nothing touches your keychain or your installed profiles. With a
# display it opens the application on that home; without one it runs the same
# re-sign with ipa-resign and tells where the result is.
#
#   scripts/demo.sh BIN_DIR      (BIN_DIR: the build's bin folder, e.g. build/bin)
#
# The demo lives in ${XDG_CACHE_HOME:-~/.cache}/ipa-resigner-demo; remove that
# folder to start afresh.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 BIN_DIR   (the build's bin folder, e.g. build/bin)" >&2
    exit 2
fi
bin=$(cd "$1" && pwd)
for program in security ipa-resign; do
    if [ ! -x "$bin/$program" ]; then
        echo "demo: $bin/$program is missing; build the project first" >&2
        exit 1
    fi
done

demo="${XDG_CACHE_HOME:-$HOME/.cache}/ipa-resigner-demo"
home="$demo/home"
made="$demo/made"        # the demo's own materials (keys, sources)
stamp="$demo/.complete-v1"

app_name="DemoApp"
display_name="Demo App"
bundle_id="com.example.demoapp"
team_id="DEMOTEAM01"
identity="Demo Developer: Jane Appleseed ($team_id)"
profile_name="IPA Resigner Demo Profile"

# Everything below runs with the demo home: the keychain, the installed
# profiles and the Desktop are the demo's.
export HOME="$home"
export XDG_DATA_HOME="$home/.local/share"
export XDG_CONFIG_HOME="$home/.config"
export XDG_CACHE_HOME="$home/.cache"
export XDG_DESKTOP_DIR="$home/Desktop"
export TMPDIR="$demo/tmp"   # work directories, apart from your own runs
profiles_dir="$home/Library/MobileDevice/Provisioning Profiles"
desktop="$home/Desktop"
sample="$desktop/$app_name.ipa"

find_tool() {
    local candidate
    for candidate in "$@"; do
        if command -v "$candidate" >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "demo: none of $* is installed (needed to build the sample package)" >&2
    return 1
}

plist_date() { date -u -d "$1" +%Y-%m-%dT%H:%M:%SZ; }

# A provisioning profile: the property list, signed as CMS with the demo key.
make_profile() {
    local out="$1" uuid="$2"
    local cert_b64
    cert_b64=$(openssl x509 -in "$made/leaf.pem" -outform DER | base64 -w 0)
    cat >"$made/profile.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>AppIDName</key>
	<string>Demo App</string>
	<key>ApplicationIdentifierPrefix</key>
	<array>
		<string>$team_id</string>
	</array>
	<key>CreationDate</key>
	<date>$(plist_date "-1 day")</date>
	<key>DeveloperCertificates</key>
	<array>
		<data>$cert_b64</data>
	</array>
	<key>Entitlements</key>
	<dict>
		<key>application-identifier</key>
		<string>$team_id.$bundle_id</string>
		<key>com.apple.developer.team-identifier</key>
		<string>$team_id</string>
		<key>get-task-allow</key>
		<true/>
		<key>keychain-access-groups</key>
		<array>
			<string>$team_id.*</string>
		</array>
	</dict>
	<key>ExpirationDate</key>
	<date>$(plist_date "+1 year")</date>
	<key>Name</key>
	<string>$profile_name</string>
	<key>ProvisionedDevices</key>
	<array>
		<string>00008030-001A2B3C4D5E6F70</string>
	</array>
	<key>TeamIdentifier</key>
	<array>
		<string>$team_id</string>
	</array>
	<key>TeamName</key>
	<string>IPA Resigner Demo</string>
	<key>TimeToLive</key>
	<integer>365</integer>
	<key>UUID</key>
	<string>$uuid</string>
	<key>Version</key>
	<integer>1</integer>
</dict>
</plist>
PLIST
    openssl cms -sign -nodetach -binary -outform DER -md sha256 \
        -signer "$made/leaf.pem" -inkey "$made/leaf.key" -certfile "$made/root.pem" \
        -in "$made/profile.plist" -out "$out"
}

# A Mach-O for iOS on arm64, linked against a text stub of the system library.
build_macho() {
    local source="$1" out="$2"; shift 2
    local clang ld
    clang=$(find_tool clang clang-14)
    ld=$(find_tool ld64.lld ld64.lld-14)
    "$clang" -target arm64-apple-ios15.0 -O1 -c "$source" -o "$out.o"
    "$ld" -arch arm64 -platform_version ios 15.0 15.0 -o "$out" "$out.o" "$made/libSystem.tbd" "$@"
    rm -f "$out.o"
}

info_plist() {
    local out="$1" executable="$2" identifier="$3" name="$4" type="$5"
    cat >"$out" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleDisplayName</key>
	<string>$name</string>
	<key>CFBundleExecutable</key>
	<string>$executable</string>
	<key>CFBundleIdentifier</key>
	<string>$identifier</string>
	<key>CFBundleName</key>
	<string>$executable</string>
	<key>CFBundlePackageType</key>
	<string>$type</string>
	<key>CFBundleShortVersionString</key>
	<string>1.0</string>
	<key>CFBundleVersion</key>
	<string>1</string>
	<key>MinimumOSVersion</key>
	<string>15.0</string>
</dict>
</plist>
PLIST
}

make_demo() {
    echo "Making the demo in $demo ..."
    rm -rf "$demo"
    mkdir -p "$made" "$desktop" "$profiles_dir" "$TMPDIR"
    chmod 700 "$demo"

    # The demo PKI: a root and a development certificate for code signing.
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 \
        -subj "/CN=IPA Resigner Demo Root/O=IPA Resigner Demo" \
        -keyout "$made/root.key" -out "$made/root.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -sha256 \
        -subj "/CN=$identity/OU=$team_id/O=IPA Resigner Demo" \
        -keyout "$made/leaf.key" -out "$made/leaf.csr" 2>/dev/null
    cat >"$made/leaf.ext" <<EXT
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
EXT
    openssl x509 -req -in "$made/leaf.csr" -CA "$made/root.pem" -CAkey "$made/root.key" \
        -CAcreateserial -days 365 -sha256 -extfile "$made/leaf.ext" -out "$made/leaf.pem" 2>/dev/null
    openssl pkcs12 -export -name "$identity" -inkey "$made/leaf.key" -in "$made/leaf.pem" \
        -certfile "$made/root.pem" -passout pass:demo -out "$made/demo.p12"
    "$bin/security" import "$made/demo.p12" -P demo >/dev/null

    # The demo profile, installed where the application looks for profiles.
    local uuid
    uuid=$(tr 'a-z' 'A-Z' </proc/sys/kernel/random/uuid)
    make_profile "$profiles_dir/$uuid.mobileprovision" "$uuid"

    # The sample package: an application with one framework, carrying the
    # demo profile as its old embedded profile.
    cat >"$made/libSystem.tbd" <<'TBD'
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
    local tree="$made/package" app
    app="$tree/Payload/$app_name.app"
    mkdir -p "$app/Frameworks/DemoKit.framework"
    printf 'int demo_kit_answer(void) { return 42; }\n' >"$made/kit.c"
    build_macho "$made/kit.c" "$app/Frameworks/DemoKit.framework/DemoKit" \
        -dylib -install_name @rpath/DemoKit.framework/DemoKit
    info_plist "$app/Frameworks/DemoKit.framework/Info.plist" DemoKit "$bundle_id.kit" DemoKit FMWK
    printf 'int puts(const char*);\nint main(void) { puts("Hello from the demo"); return 0; }\n' >"$made/main.c"
    build_macho "$made/main.c" "$app/$app_name"
    info_plist "$app/Info.plist" "$app_name" "$bundle_id" "$display_name" APPL
    printf 'Hello from the demo package.\n' >"$app/readme.txt"
    cp "$profiles_dir/$uuid.mobileprovision" "$app/embedded.mobileprovision"
    (cd "$tree" && zip -qry "$sample" Payload)

    touch "$stamp"
}

# Made once; made again when incomplete or when the demo certificate is
# about to expire.
if [ ! -f "$stamp" ] || [ ! -f "$sample" ] ||
    ! openssl x509 -in "$made/leaf.pem" -noout -checkend 86400 >/dev/null 2>&1; then
    make_demo
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    if [ ! -x "$bin/ipa-resigner" ]; then
        echo "demo: $bin/ipa-resigner was not built (Qt 6 missing?)" >&2
        exit 1
    fi
    cat <<TEXT
IPA Resigner demo (its own home: $home)
  1. Browse... and open $sample
     (the demo profile is chosen for you, it matches the package)
  2. Choose the signing identity "$identity"
  3. Press Resign: the result lands in $desktop
Quit with Ctrl+Q. Closing the window keeps the application running;
starting it again brings the window back.
TEXT
    cd "$desktop"
    exec "$bin/ipa-resigner"
fi

profile=$(ls "$profiles_dir"/*.mobileprovision | head -n 1)
echo "No display: re-signing the demo package with ipa-resign instead."
"$bin/ipa-resign" --ipa "$sample" --identity "$identity" --profile "$profile" \
    --name "$display_name" --bundle-id "$bundle_id" --output "$desktop" --overwrite
echo "The re-signed package: $desktop/$display_name.ipa"
