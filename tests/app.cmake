orvane_add_test(tst_appshell SOURCES tst_appshell.cpp)
orvane_add_test(tst_mainwindow RIG SOURCES tst_mainwindow.cpp)

add_executable(failing_orvane failing_orvane.cpp)
target_link_libraries(failing_orvane PRIVATE orvane_test_support)
orvane_add_test(tst_program RIG TIMEOUT 180 SOURCES tst_program.cpp)
add_dependencies(tst_program orvane failing_orvane)
