#!/bin/sh
# The desktop files and the Debian package, checked with the desktop's own
# tools:
#   check_package.sh SOURCE-DIR BUILD-DIR
# the desktop entry passes desktop-file-validate; with our MIME definition
# in a data folder of its own, xdg-mime calls an .ipa application/x-ios-app;
# cpack builds the .deb, whose contents and control fields are as installed
# programs need them; its AppStream metadata passes appstreamcli, each
# program has its manual page, and lintian finds no error in it.
set -eu
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

desktop-file-validate "$src/src/app/ipa-resigner.desktop" || fail "desktop entry"
grep -qx 'Exec=ipa-resigner %f' "$src/src/app/ipa-resigner.desktop" || fail "Exec takes no file"
grep -qx 'MimeType=application/x-ios-app;' "$src/src/app/ipa-resigner.desktop" || fail "MimeType"

mkdir -p "$work/data/mime/packages"
cp "$src/src/app/ipa-resigner-mime.xml" "$work/data/mime/packages/ipa-resigner.xml"
cp /usr/share/mime/packages/freedesktop.org.xml "$work/data/mime/packages/"
XDG_DATA_DIRS="$work/data" update-mime-database "$work/data/mime" || fail "update-mime-database"
(cd "$work" && echo zipped > member && zip -q x.ipa member)
type=$(XDG_DATA_HOME="$work/data" XDG_DATA_DIRS="$work/data" XDG_CURRENT_DESKTOP= DE= xdg-mime query filetype "$work/x.ipa")
[ "$type" = application/x-ios-app ] || fail "xdg-mime says '$type' for x.ipa"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/deb/ipa-resigner_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
for path in ./usr/bin/ipa-resigner ./usr/bin/ipa-resign ./usr/libexec/ipa-resigner/security \
            ./usr/libexec/ipa-resigner/codesign ./usr/share/applications/ipa-resigner.desktop \
            ./usr/share/mime/packages/ipa-resigner.xml ./usr/share/icons/hicolor/48x48/apps/ipa-resigner.png \
            ./usr/share/icons/hicolor/256x256/apps/ipa-resigner.png ./usr/share/icons/hicolor/scalable/apps/ipa-resigner.svg; do
    grep -qx "$path" "$work/contents" || fail "$path is not in the package"
done
if grep -v -e '^\./usr/' -e '^\./$' -e '^\./usr/$' "$work/contents"; then fail "files outside /usr"; fi
depends=$(dpkg-deb -f "$deb" Depends)
for dep in zip unzip libc6 libssl3 libplist libqt6widgets6 libimobiledevice6; do
    echo "$depends" | grep -q "$dep" || fail "Depends lacks $dep: $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
echo "$recommends" | grep -q usbmuxd || fail "Recommends lacks usbmuxd: $recommends"
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I"

dpkg-deb -x "$deb" "$work/root"
metainfo=$(ls "$work"/root/usr/share/metainfo/*.metainfo.xml) || fail "no AppStream metadata"
appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log"; fail "appstreamcli validate"; }
desktop_id=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "$work/root/usr/share/applications/$desktop_id" ] || fail "metainfo names desktop entry '$desktop_id', not in the package"
grep -q "<release version=\"$(dpkg-deb -f "$deb" Version)\"" "$metainfo" || fail "metainfo lacks this release"
for program in ipa-resigner ipa-resign; do
    page="$work/root/usr/share/man/man1/$program.1.gz"
    zcat "$page" | grep -q "^\.SH NAME" || fail "no manual page for $program"
done
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
fi
echo "ok: $(basename "$deb")"
