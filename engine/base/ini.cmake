# The INI lexer every INI reader shares.
zl_library(zl_base_ini SOURCES ini_lexer.cpp LIBS zl_base)
