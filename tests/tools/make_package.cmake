# The package maker: builds the tiny package and checks manifest and torrents.
add_test(NAME make_package_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/make_package_test.py ${PROJECT_SOURCE_DIR}/tools/make-package)
set_tests_properties(make_package_test PROPERTIES LABELS "unit" TIMEOUT 120)
