# Installation as a desktop program, and the Debian package (cpack -G DEB).
#   cmake --install build --prefix /usr/local     (or a DESTDIR)
#   cd build && cpack -G DEB
include(GNUInstallDirs)
# Debian names the folder after the package, in lower case.
set(KELMORA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kelmora)

install(TARGETS kelmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KELMORA_DOC_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/club DESTINATION ${KELMORA_DOC_DIR}/examples)
if(KELMORA_WITH_QT)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/kelmora.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/kelmora.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
# User units for the headless modes; systemd looks for them in
# <prefix>/lib/systemd/user (/usr/lib/systemd/user for the package). They
# name the binary without a folder: systemd finds it in /usr/local/bin or
# /usr/bin.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/systemd/kelmora.service
              ${CMAKE_SOURCE_DIR}/packaging/systemd/kelmora-once.service
              ${CMAKE_SOURCE_DIR}/packaging/systemd/kelmora-once.timer
        DESTINATION lib/systemd/user)

set(CPACK_PACKAGE_NAME kelmora)
set(CPACK_PACKAGE_VENDOR "Kelmora")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kelmora maintainers <kelmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "private mailing-list server for one desktop computer")
set(CPACK_PACKAGE_DESCRIPTION "Kelmora fetches the mail of its accounts every few minutes and treats
each message by a rule table: list posts go to every member, requests
are answered, members manage themselves by mail. It runs with a Qt
window or headless (systemd user units included).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binary (dpkg-shlibdeps); what it cannot
# see is named here: the Japanese font of the windows.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KELMORA_WITH_QT)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "dovecot-pop3d")
include(CPack)

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE AND KELMORA_WITH_QT)
  add_test(NAME packaging_install_layout
           COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/check_install.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(packaging_install_layout PROPERTIES TIMEOUT 120)
endif()
