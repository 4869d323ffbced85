zl_fuzzer(fuzz_app_config SOURCES app_config_fuzz.cpp LIBS zl_app zl_app_package)
zl_fuzzer(fuzz_app_ini SOURCES app_ini_fuzz.cpp LIBS zl_app zl_app_package)
