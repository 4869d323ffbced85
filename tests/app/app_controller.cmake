zl_test(app_controller_test SOURCES controller_test.cpp LIBS zl_app zl_app_package THREADED)
