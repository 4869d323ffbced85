zl_test(app_units_test SOURCES
  ini_file_test.cpp
  resume_decision_test.cpp
  server_config_test.cpp
  formatters_test.cpp
  prefix_md5_test.cpp
  app_paths_test.cpp
  LIBS zl_app zl_app_package)
