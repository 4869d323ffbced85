# zlfetch get: one P2SP task through the flat engine interface.
target_sources(zlfetch_cli PRIVATE zlfetch/cmd_get.cpp zlfetch/get_sources.cpp)
target_link_libraries(zlfetch_cli PUBLIC zl_core_task)
