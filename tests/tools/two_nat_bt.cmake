# A BitTorrent download between zlfetch seed and zlfetch get behind two NATs
# (network namespaces zlrdv-*, made and deleted by the script; skipped where
# they cannot be made): over the UDP stream by placeholder and by node id, and
# a symmetric NAT that gives up cleanly.
add_test(NAME zlfetch_two_nat_bt_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/two_nat_bt_test.sh $<TARGET_FILE:zlfetch> $<TARGET_FILE:zlrendezvous>)
set_tests_properties(zlfetch_two_nat_bt_test PROPERTIES LABELS "unit" TIMEOUT 180 SKIP_RETURN_CODE 77)
