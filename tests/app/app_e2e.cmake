# End to end against the local package site (nginx, openssl, opentracker);
# starts and stops everything itself.
if(TARGET zephyrloader-cli-tiny)
  add_test(NAME app_e2e
           COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e_test.py
                   --cli $<TARGET_FILE:zephyrloader-cli-tiny> --package ${PROJECT_BINARY_DIR}/tiny-package
                   --work ${CMAKE_CURRENT_BINARY_DIR}/e2e --zlfetch $<TARGET_FILE:zlfetch>)
  set_tests_properties(app_e2e PROPERTIES LABELS servers TIMEOUT 600 SKIP_REGULAR_EXPRESSION "^SKIP_ALL"
                       RESOURCE_LOCK zephyrloader_single_instance)
endif()
