zl_test(base_ini_lexer_test SOURCES ini_lexer_test.cpp LIBS zl_base_ini)
