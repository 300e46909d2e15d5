# SPDX-License-Identifier: GPL-3.0-or-later
# Tests of the desktop window (QtTest). They run on Qt's offscreen
# platform; the screenshot test runs under a private Xvfb server instead.
find_package(Qt6 REQUIRED COMPONENTS Test)

# Qt wants a private runtime folder; one inside the build keeps /tmp clean.
set(KELMORA_GUI_RUNTIME_DIR ${CMAKE_BINARY_DIR}/gui-runtime)
file(MAKE_DIRECTORY ${KELMORA_GUI_RUNTIME_DIR})
file(CHMOD ${KELMORA_GUI_RUNTIME_DIR} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

function(kelmora_gui_test name)
  add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/gui/${name}.cpp)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE kelmora_gui Qt6::Test)
  target_compile_definitions(${name} PRIVATE
    KELMORA_BIN="$<TARGET_FILE:kelmora>" KELMORA_BUILD="${CMAKE_BINARY_DIR}" KELMORA_SOURCE="${CMAKE_SOURCE_DIR}")
endfunction()

foreach(name main_window_test window_front_end_test)
  kelmora_gui_test(${name})
  add_test(NAME gui_${name} COMMAND ${name})
  set_tests_properties(gui_${name} PROPERTIES TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${KELMORA_GUI_RUNTIME_DIR}")
endforeach()

# The layout rules hold at the ordinary scale and at twice it, on a screen
# of 2560x1440 pixels (the offscreen platform's own is 800x600).
kelmora_gui_test(layout_test)
foreach(scale 1 2)
  add_test(NAME gui_layout_test_scale${scale} COMMAND layout_test)
  set_tests_properties(gui_layout_test_scale${scale} PROPERTIES TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_SOURCE_DIR}/tests/gui/offscreen_screen.json;QT_SCALE_FACTOR=${scale};XDG_RUNTIME_DIR=${KELMORA_GUI_RUNTIME_DIR}")
endforeach()

# Screenshots come from a real X server; xvfb-run gives each run its own.
find_program(XVFB_RUN xvfb-run)
kelmora_gui_test(screenshot_test)
if(XVFB_RUN)
  add_test(NAME gui_screenshot_test
           COMMAND ${XVFB_RUN} -a -s "-screen 0 1024x768x24" $<TARGET_FILE:screenshot_test>)
  set_tests_properties(gui_screenshot_test PROPERTIES TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=xcb;XDG_RUNTIME_DIR=${KELMORA_GUI_RUNTIME_DIR}")
endif()
