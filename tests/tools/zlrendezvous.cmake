# zlrendezvous on loopback, driven as two engines would drive it.
add_test(NAME zlrendezvous_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zlrendezvous_test.py $<TARGET_FILE:zlrendezvous>)
set_tests_properties(zlrendezvous_test PROPERTIES LABELS "unit" TIMEOUT 60)
# zlfetch get --rendezvous registers with it; without the option nothing does.
add_test(NAME zlfetch_rendezvous_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zlfetch_rendezvous_test.py $<TARGET_FILE:zlfetch> $<TARGET_FILE:zlrendezvous>)
set_tests_properties(zlfetch_rendezvous_test PROPERTIES LABELS "unit" TIMEOUT 120)
# Its table under registrations from spoofed sources.
zl_test(rendezvous_server_test SOURCES rendezvous_server_test.cpp LIBS zl_rendezvous_server)
