orvane_add_test(tst_asx SOURCES tst_asx.cpp)
