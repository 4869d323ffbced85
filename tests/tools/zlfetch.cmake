zl_test(zlfetch_options_test SOURCES zlfetch_options_test.cpp LIBS zlfetch_cli)
add_test(NAME zlfetch_cli_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/zlfetch_cli_test.sh $<TARGET_FILE:zlfetch>)
set_tests_properties(zlfetch_cli_test PROPERTIES LABELS "unit")
zl_test(zlfetch_text_format_test SOURCES zlfetch_text_format_test.cpp LIBS zlfetch_cli)
