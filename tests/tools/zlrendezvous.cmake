# zlrendezvous on loopback, driven as two engines would drive it.
add_test(NAME zlrendezvous_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zlrendezvous_test.py $<TARGET_FILE:zlrendezvous>)
set_tests_properties(zlrendezvous_test PROPERTIES LABELS "unit" TIMEOUT 60)
