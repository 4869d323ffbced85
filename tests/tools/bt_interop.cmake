# zlfetch get against real BitTorrent clients (aria2c, python3-libtorrent) found
# through opentracker, mixed with an nginx mirror, and a libtorrent leecher served
# by our engine; the script starts and stops everything it needs on 127.0.4.x.
add_test(NAME bt_interop_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/bt_interop_test.py $<TARGET_FILE:zlfetch>)
set_tests_properties(bt_interop_test PROPERTIES LABELS real_peers TIMEOUT 400)
