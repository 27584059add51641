orvane_add_test(tst_playererrors SOURCES tst_playererrors.cpp)
orvane_add_test(tst_mpvplayer RIG TIMEOUT 300 SOURCES tst_mpvplayer.cpp)
