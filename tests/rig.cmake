orvane_add_test(tst_rig RIG SOURCES tst_rig.cpp)
