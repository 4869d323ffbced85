zl_test(telemetry_upload_test SOURCES upload_test.cpp LIBS zl_telemetry THREADED)
