# Statistics events and the system inventory sent with them.
find_package(jsoncpp CONFIG REQUIRED)
zl_library(zl_telemetry_inventory SOURCES inventory.cpp ini_reader.cpp LIBS zl_base_ini JsonCpp::JsonCpp)
zl_library(zl_telemetry SOURCES
  event_body.cpp
  form_poster.cpp
  data_statistics.cpp
  data_upload.cpp
  report_event.cpp
  default_config.cpp
  LIBS zl_telemetry_inventory zl_base_runtime zl_base_curl JsonCpp::JsonCpp)
