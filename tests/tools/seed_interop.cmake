# zlfetch seed against real BitTorrent clients (aria2c, python3-libtorrent,
# transmission-daemon in a namespace), a three-party swarm, the disguise
# between two engines, LAN discovery in a namespace and a connection flood;
# the script starts and stops everything it needs on 127.0.11.x and in the
# namespaces zl-sd-tr and zl-sd-lan.
add_test(NAME seed_interop_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/seed_interop_test.py $<TARGET_FILE:zlfetch>)
set_tests_properties(seed_interop_test PROPERTIES LABELS real_peers TIMEOUT 600)
