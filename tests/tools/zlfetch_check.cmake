# zlfetch check's exit codes (0 complete, 1 not complete, 2 error) on real files.
add_test(NAME zlfetch_check_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zlfetch_check_test.sh $<TARGET_FILE:zlfetch>)
set_tests_properties(zlfetch_check_test PROPERTIES LABELS "unit" TIMEOUT 60)
