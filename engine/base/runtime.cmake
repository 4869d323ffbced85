# Threads, the engine clock and the engine log.
zl_library(zl_core_runtime SOURCES
  qthread.cpp
  engine_clock.cpp
  engine_log.cpp
  engine_log_api.cpp
  LIBS zl_core_base)
