#!/usr/bin/env bash
# IPA Resigner quick start.
#   ./run.sh         install what is missing, build, run the main job (the demo re-sign)
#   ./run.sh test    install what is missing, build, run every test
#                    under AddressSanitizer+UBSan, then under ThreadSanitizer,
#                    then every fuzz harness for a short while (fuzz/run.sh);
#                    the plain build's suite is the same tests without the
#                    checks: ctest --preset default after ./run.sh
#   ./run.sh deb     install what is missing, build, write the Debian package
#                    build/ipa-resigner_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake ninja-build pkg-config git
          libssl-dev openssl libplist-dev libplist++-dev qt6-base-dev
          libcli11-dev nlohmann-json3-dev
          libgtest-dev googletest clang libclang-rt-14-dev lld llvm zip unzip zlib1g-dev python3
          xvfb xauth imagemagick
          dpkg-dev file shared-mime-info desktop-file-utils xdg-utils libfile-mimeinfo-perl
          appstream help2man lintian
          libimobiledevice-dev libusbmuxd-dev libimobiledevice-utils ideviceinstaller)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {  # build PRESET
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$(nproc)"
}

run_tests() {  # run_tests PRESET
    echo "== tests: $1"
    ctest --preset "$1" -j "$(nproc)"
}

install_missing
case "${1:-}" in
test)
    for preset in asan tsan; do
        build "$preset"
        run_tests "$preset"
    done
    echo "== fuzz: 5 s per harness"
    fuzz/run.sh 5
    ;;
deb)
    build default
    (cd build && cpack -G DEB)
    ls build/ipa-resigner_*.deb
    ;;
"")
    build default
    if [ -x scripts/demo.sh ]; then
        exec scripts/demo.sh "$PWD/build/bin"
    fi
    echo "Built: $(ls build/bin | tr '\n' ' ')"
    ;;
*)
    echo "usage: $0 [test|deb]" >&2
    exit 2
    ;;
esac
