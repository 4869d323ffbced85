# The nginx mirrors harness used by integration tests, the demo and the benchmark.
add_test(NAME mirrors_harness_test COMMAND ${PROJECT_SOURCE_DIR}/tests/harness/mirrors_test.py)
set_tests_properties(mirrors_harness_test PROPERTIES LABELS "unit" TIMEOUT 60)
