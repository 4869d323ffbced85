# The package site's rendezvous server: its seeders register, and a get fetches
# from one over the UDP stream (nginx, opentracker and mktorrent on 127.0.81.x).
add_test(NAME package_site_rendezvous_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_site_rendezvous_test.py $<TARGET_FILE:zlfetch>)
set_tests_properties(package_site_rendezvous_test PROPERTIES LABELS servers TIMEOUT 120 SKIP_RETURN_CODE 77)
