zl_test(app_cli_options_test SOURCES cli_options_test.cpp LIBS zl_app_cli)
