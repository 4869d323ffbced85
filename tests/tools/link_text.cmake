# zlfetch get with a task link text, a hybrid torrent with padding entries and a
# torrent replaced by one with another piece length, against aria2c and
# python3-libtorrent seeders found through opentracker on 127.0.14.x.
add_test(NAME link_text_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/link_text_test.py $<TARGET_FILE:zlfetch>)
set_tests_properties(link_text_test PROPERTIES LABELS real_peers TIMEOUT 300)
