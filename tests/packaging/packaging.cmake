# The Debian package and its pieces: the manual pages against the programs'
# --help (label package), and the package itself, made by CPack from this
# build folder's programs (no build of its own) and checked by the Debian
# tools. scripts/test runs the label after the release tests.
if(NOT TARGET zl_package_files)
  return()
endif()
set(pages ${PROJECT_SOURCE_DIR}/packaging/man)
set(check ${CMAKE_CURRENT_SOURCE_DIR}/check_man_options.py)
add_test(NAME package_man_zephyrloader
         COMMAND python3 ${check} --page ${pages}/zephyrloader.1.in -- $<TARGET_FILE:zephyrloader> --help)
add_test(NAME package_man_zephyrloader_cli
         COMMAND python3 ${check} --page ${pages}/zephyrloader-cli.1.in -- $<TARGET_FILE:zephyrloader-cli> --help)
add_test(NAME package_man_zlrendezvous
         COMMAND python3 ${check} --page ${pages}/zlrendezvous.8.in -- $<TARGET_FILE:zlrendezvous> --help)
set(zlfetch_helps -- $<TARGET_FILE:zlfetch> --help)
foreach(command version info check get seed)
  list(APPEND zlfetch_helps -- $<TARGET_FILE:zlfetch> ${command} --help)
endforeach()
add_test(NAME package_man_zlfetch COMMAND python3 ${check} --page ${pages}/zlfetch.1.in ${zlfetch_helps})
set_tests_properties(package_man_zephyrloader package_man_zephyrloader_cli package_man_zlrendezvous
                     package_man_zlfetch PROPERTIES LABELS package TIMEOUT 60)

set(out ${CMAKE_CURRENT_BINARY_DIR}/deb)
set(test ${CMAKE_CURRENT_SOURCE_DIR}/package_test.py)
add_test(NAME package_build COMMAND python3 ${test} build --out ${out} --cpack-config ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set_tests_properties(package_build PROPERTIES FIXTURES_SETUP zl_deb)
add_test(NAME package_contents COMMAND python3 ${test} contents --out ${out} --app-id ${ZL_APP_ID})
add_test(NAME package_desktop_entry COMMAND python3 ${test} desktop --out ${out} --app-id ${ZL_APP_ID})
add_test(NAME package_metainfo
         COMMAND python3 ${test} metainfo --out ${out} --app-id ${ZL_APP_ID} --version ${PROJECT_VERSION}
                 --screenshot ${PROJECT_BINARY_DIR}/packaging/desktop/screenshots/zephyrloader-${PROJECT_VERSION}.png)
add_test(NAME package_lintian COMMAND python3 ${test} lintian --out ${out})
add_test(NAME package_service COMMAND python3 ${test} service --out ${out})
add_test(NAME package_completion
         COMMAND python3 ${test} completion --out ${out} --zlfetch $<TARGET_FILE:zlfetch> --cli $<TARGET_FILE:zephyrloader-cli>)
set_tests_properties(package_contents package_desktop_entry package_metainfo package_lintian package_service
                     package_completion PROPERTIES FIXTURES_REQUIRED zl_deb)
set_tests_properties(package_build package_contents package_desktop_entry package_metainfo package_lintian
                     package_service package_completion
                     PROPERTIES LABELS package TIMEOUT 300 SKIP_REGULAR_EXPRESSION "^SKIP_ALL")
