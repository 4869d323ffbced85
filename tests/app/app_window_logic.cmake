# The controller's entries for the window and the driver thread (no Qt).
zl_test(app_window_logic_test SOURCES controller_window_test.cpp LIBS zl_app zl_app_package THREADED)
