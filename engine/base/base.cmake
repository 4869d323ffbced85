# Time source and shared primitives every other component builds on.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/engine/base/version.h @ONLY)
zl_library(zl_base SOURCES
  clock.cpp
  fake_clock.cpp
  qmutex.cpp
  text.cpp)
