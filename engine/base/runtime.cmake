# Threads, the engine clock and the engine log.
zl_library(zl_base_runtime SOURCES
  qthread.cpp
  engine_clock.cpp
  engine_log.cpp
  engine_log_api.cpp
  message_sink.cpp
  message_box.cpp
  LIBS zl_base)
