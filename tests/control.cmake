orvane_add_test(tst_catalogue SOURCES tst_catalogue.cpp)
orvane_add_test(tst_controlpanel RIG TIMEOUT 300 SOURCES tst_controlpanel.cpp)
# The placement once more with the taskbar on the right edge, in a desktop of its own.
add_test(NAME tst_controlpanel_right_taskbar
         COMMAND ${CMAKE_SOURCE_DIR}/tests/rig/rig.sh --layout openbox-trayer --
                 $<TARGET_FILE:tst_controlpanel> placementAtWorkAreaCorner)
set_tests_properties(tst_controlpanel_right_taskbar PROPERTIES LABELS rig TIMEOUT 120
    ENVIRONMENT "ORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR};ORVANE_BINARY_DIR=${CMAKE_BINARY_DIR}")
