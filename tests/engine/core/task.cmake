zl_test(core_task_model_test SOURCES task_model_test.cpp LIBS zl_core_task)
zl_test(core_engine_api_test SOURCES engine_api_test.cpp LIBS zl_core_task THREADED)
zl_test(core_task_worker_test SOURCES task_worker_test.cpp LIBS zl_core_task THREADED)
