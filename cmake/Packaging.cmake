# The Debian package: `cpack -G DEB` in the build folder (or ./run.sh deb)
# writes ipa-resigner_<version>_<arch>.deb. Programs go to /usr/bin, the
# security and codesign commands to /usr/libexec/ipa-resigner, where the
# application looks for them. The libraries it needs are read from the
# programs themselves; the archive tools are run by path, so they are named.
# Debian's triggers refresh the MIME and desktop databases on install and
# removal, so the package needs no scripts of its own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ipa-resigner)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "IPA Resigner")
set(CPACK_PACKAGE_CONTACT "IPA Resigner maintainers <ipa-resigner@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Re-signs iOS application packages with your own identity and profile")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Re-signs iOS application packages (.ipa) with your own signing identity\n"
    " and provisioning profile: a desktop application (ipa-resigner) and a\n"
    " command for scripts and CI (ipa-resign), with their own keychain and\n"
    " code-signing commands.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "zip, unzip")
# usbmuxd is the daemon through which libimobiledevice reaches a device on
# the cable; without it the programs re-sign but list no device.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils, usbmuxd")
set(CPACK_STRIP_FILES ON)
include(CPack)
