# zlfetch get against real files and a loopback port nobody listens on.
add_test(NAME zlfetch_get_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zlfetch_get_test.sh $<TARGET_FILE:zlfetch>)
set_tests_properties(zlfetch_get_test PROPERTIES LABELS "unit" TIMEOUT 60)
