# The window on Qt's offscreen platform (QtTest), when the window is built.
if(TARGET zl_window)
  zl_test(app_window_options_test SOURCES window_options_test.cpp LIBS zl_window)
  find_package(Qt6 COMPONENTS Test REQUIRED)
  add_executable(app_window_test window_test.cpp)
  set_target_properties(app_window_test PROPERTIES AUTOMOC ON)
  # GTest for the scripted engine shared with the controller tests (its checks record into gtest).
  target_link_libraries(app_window_test PRIVATE zl_window Qt6::Test zl_app zl_app_package GTest::gtest)
  add_test(NAME app_window_test COMMAND app_window_test)
  set(env "QT_QPA_PLATFORM=offscreen;ZL_WINDOW_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/window-shots")
  if(ZL_SANITIZE STREQUAL "thread")
    # Qt itself is not instrumented: its insides are suppressed, this project's code is not.
    list(APPEND env "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/qt.tsan.supp")
  endif()
  # Threaded (the driver thread posts to the window): it runs under TSan too.
  set_tests_properties(app_window_test PROPERTIES LABELS unit_threaded TIMEOUT 300 ENVIRONMENT "${env}")
  add_dependencies(zl_threaded_tests app_window_test)
endif()

# A real run under Xvfb against the local package site (nginx, openssl,
# opentracker); starts and stops everything itself.
if(TARGET zephyrloader-tiny)
  add_test(NAME app_window_xvfb
           COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/window_xvfb_test.py
                   --window $<TARGET_FILE:zephyrloader-tiny> --package ${PROJECT_BINARY_DIR}/tiny-package
                   --work ${CMAKE_CURRENT_BINARY_DIR}/window-xvfb --zlfetch $<TARGET_FILE:zlfetch>)
  set_tests_properties(app_window_xvfb PROPERTIES LABELS servers TIMEOUT 300 SKIP_REGULAR_EXPRESSION "^SKIP_ALL"
                       RESOURCE_LOCK zephyrloader_single_instance)
endif()
