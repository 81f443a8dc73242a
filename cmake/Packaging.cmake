# The Debian package: `cpack -G DEB` in the build folder (or ./run.sh deb)
# writes ipa-resigner_<version>_<arch>.deb. Programs go to /usr/bin, the
# security and codesign commands to /usr/libexec/ipa-resigner, where the
# application looks for them. The libraries it needs are read from the
# programs themselves; the archive tools are run by path, so they are named.
# Debian's triggers refresh the MIME and desktop databases on install and
# removal, so the package needs no scripts of its own. Beside the programs it
# holds what the desktop and Debian expect of an application: its AppStream
# metadata, a manual page per program (made from their --help by help2man),
# the copyright file and the changelog.

# The address the project is published at: the AppStream id, the homepage,
# the screenshot's address and the package's contact are made from it. The
# default is a placeholder under the reserved .localhost domain.
set(IPA_DOMAIN "ipa-resigner.localhost" CACHE STRING "Internet domain the project is published at")
string(REPLACE "." ";" domain_labels "${IPA_DOMAIN}")
list(REVERSE domain_labels)
list(JOIN domain_labels "." IPA_APPSTREAM_ID)
string(REPLACE "-" "_" IPA_APPSTREAM_ID "${IPA_APPSTREAM_ID}.IpaResigner")
set(IPA_HOMEPAGE "https://${IPA_DOMAIN}")
set(IPA_PACKAGE_CONTACT "IPA Resigner maintainers <ipa-resigner@${IPA_DOMAIN}>")

if(TARGET ipa-resigner)
  configure_file(${CMAKE_SOURCE_DIR}/src/app/ipa-resigner.metainfo.xml.in
                 ${CMAKE_BINARY_DIR}/share/${IPA_APPSTREAM_ID}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/share/${IPA_APPSTREAM_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# Manual pages: each program's --help, as help2man lays it out.
find_program(HELP2MAN help2man)
set(man_pages)
foreach(program_and_name "ipa-resign|re-sign iOS application packages from a terminal or a script"
                         "ipa-resigner|re-sign iOS application packages in a window")
  string(REPLACE "|" ";" program_and_name "${program_and_name}")
  list(GET program_and_name 0 program)
  list(GET program_and_name 1 name)
  if(NOT TARGET ${program})
    continue()
  endif()
  if(NOT HELP2MAN)
    message(WARNING "help2man not found: no manual page for ${program}")
    continue()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${HELP2MAN} --no-info --section=1 --name=${name} --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program}
    COMMENT "Manual page of ${program}"
    VERBATIM)
  list(APPEND man_pages ${page}.gz)
endforeach()
if(man_pages)
  add_custom_target(man-pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Debian changelog of a native package, and the copyright file.
execute_process(COMMAND date -u -R -d "${IPA_RELEASE_DATE} 12:00" OUTPUT_VARIABLE IPA_RELEASE_DATE_RFC2822
                OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nfk ${CMAKE_BINARY_DIR}/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ipa-resigner)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "IPA Resigner")
set(CPACK_PACKAGE_CONTACT "${IPA_PACKAGE_CONTACT}")
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
