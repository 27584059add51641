orvane_add_test(tst_streamkinds RIG TIMEOUT 600 SOURCES tst_streamkinds.cpp)
orvane_add_test(tst_streamfailures RIG TIMEOUT 600 SOURCES tst_streamfailures.cpp)
