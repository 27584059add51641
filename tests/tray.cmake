# The notification-area icon: in-process on the rig's desktop, and the program itself as a child.
orvane_add_test(tst_trayicon RIG TIMEOUT 180 SOURCES tst_trayicon.cpp TrayDesktop.cpp)

# A session manager for the session-end tests: XSMP over a local ICE socket only.
add_executable(orvane_xsmp_manager rig/xsmp_manager.c)
target_link_libraries(orvane_xsmp_manager PRIVATE X11::SM X11::ICE)

orvane_add_test(tst_trayprogram RIG TIMEOUT 240 SOURCES tst_trayprogram.cpp TrayDesktop.cpp)
target_compile_definitions(tst_trayprogram PRIVATE ORVANE_PROGRAM="$<TARGET_FILE:orvane>"
    ORVANE_XSMP_MANAGER="$<TARGET_FILE:orvane_xsmp_manager>")
add_dependencies(tst_trayprogram orvane orvane_xsmp_manager)
# The tray host is restarted there: a desktop of its own, so no other test sees its taskbar go.
add_test(NAME tst_trayprogram_tray_restart
         COMMAND ${CMAKE_SOURCE_DIR}/tests/rig/rig.sh --
                 $<TARGET_FILE:tst_trayprogram> iconComesBackAfterTrayHostRestart)
set_tests_properties(tst_trayprogram_tray_restart PROPERTIES LABELS rig TIMEOUT 120
    ENVIRONMENT "ORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR};ORVANE_BINARY_DIR=${CMAKE_BINARY_DIR};ORVANE_TRAY_HOST_RESTART=1")
