# SPDX-License-Identifier: GPL-3.0-or-later
# Installation:
#   cmake --install build --prefix /usr/local --strip
# --strip leaves the debugging information out of the installed programs
# (the build keeps it: a RelWithDebInfo kelmora is some 30 MB, stripped a
# tenth of that). The Debian source package (debian/) installs through the
# same rules.
include(GNUInstallDirs)
# Debian names the folder after the package, in lower case.
set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/kelmora)

install(TARGETS kelmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/kelmora.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The example a first start copies into ~/Kelmora. The program finds it
# relative to its own folder (<prefix>/bin/../share/...), so an install
# under any prefix works.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/club DESTINATION ${CMAKE_INSTALL_DATADIR}/kelmora/examples)

# The menu entry and the user units name the programs by absolute path. The
# path is filled in when installing, so that `cmake --install --prefix`
# elsewhere than the configured prefix still yields working files.
set(KELMORA_INSTALL_GENERATED ${CMAKE_BINARY_DIR}/install-generated)
set(KELMORA_UNITS kelmora.service kelmora-once.service kelmora-once.timer)
install(CODE "
  set(KELMORA_BIN \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kelmora\")
  set(KELMORA_WINDOW \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/kelmora/kelmora-window\")
  foreach(unit ${KELMORA_UNITS})
    configure_file(\"${CMAKE_SOURCE_DIR}/packaging/systemd/\${unit}.in\"
                   \"${KELMORA_INSTALL_GENERATED}/\${unit}\" @ONLY)
  endforeach()
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/kelmora.desktop.in\"
                 \"${KELMORA_INSTALL_GENERATED}/kelmora.desktop\" @ONLY)
")
# systemd looks for user units in <prefix>/lib/systemd/user.
foreach(unit ${KELMORA_UNITS})
  install(FILES ${KELMORA_INSTALL_GENERATED}/${unit} DESTINATION lib/systemd/user)
endforeach()

if(KELMORA_WITH_QT)
  install(TARGETS kelmora-window RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kelmora)
  install(FILES ${KELMORA_INSTALL_GENERATED}/kelmora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/kelmora.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 48 256)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/kelmora-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME kelmora.png)
  endforeach()
endif()

if(KELMORA_BUILD_TESTS)
  # What an installation holds and whether it works: the layout, the menu
  # entry, the manual page, the user units, the headless program without Qt.
  add_test(NAME packaging_install_layout
           COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/check_install.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(packaging_install_layout PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
  # The Debian source package, built and checked with lintian; it takes
  # minutes, so it runs only when KELMORA_PACKAGE_TESTS=1.
  add_test(NAME packaging_debian_package
           COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/build_package.sh ${CMAKE_SOURCE_DIR})
  set_tests_properties(packaging_debian_package PROPERTIES TIMEOUT 3600 SKIP_RETURN_CODE 77)
endif()
