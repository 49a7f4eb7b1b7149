# What `cmake --install` puts beside the programs, and the Debian package made of it by
# `cpack -G DEB`.

install(FILES ${CMAKE_SOURCE_DIR}/res/vantoro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/res/icons/hicolor/${size}x${size}/vantoro.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/res/icons/hicolor/vantoro.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The unit names the program by its installed path, known only when installing (--prefix, or the
# package's /usr under cpack's staging folder).
install(CODE "
  set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(CMAKE_INSTALL_FULL_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/vantoro.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vantoro.service.in \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
")

# Debian wants the changelog compressed reproducibly (no name, no time stamp).
set(vantoro_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${vantoro_changelog}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${vantoro_changelog}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
add_custom_target(vantoro_changelog ALL DEPENDS ${vantoro_changelog})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${vantoro_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantoro)
set(CPACK_PACKAGE_VENDOR "The Vantoro developers")
set(CPACK_PACKAGE_CONTACT "The Vantoro developers <vantoro@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "answering machine and fax receiver for voice modems")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantoro 2000 answers calls on a V.253 voice/fax modem, plays a greeting,\n"
    "records messages as WAV files and receives faxes itself as a Class 1 fax\n"
    "modem, storing them as TIFF files. It shows a small skinned window with a\n"
    "tray icon, or runs headless as a systemd user service. A virtual modem for\n"
    "tests and SIP lines is included.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, fonts-wqy-microhei | fonts-arphic-uming, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libtiff-tools, sox, lame, mailutils")
include(CPack)
