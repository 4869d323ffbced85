# zephyrloader-cli: the controller without a window.
find_package(PkgConfig REQUIRED)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
find_package(CLI11 CONFIG REQUIRED)
zl_library(zl_app_cli SOURCES cli/cli_options.cpp cli/cli_view.cpp LIBS zl_app PkgConfig::JSONCPP CLI11::CLI11)
add_executable(zephyrloader-cli cli/main.cpp)
target_link_libraries(zephyrloader-cli PRIVATE zl_app_cli zl_app_package)

# The same program with the tiny package built in, for the end-to-end tests:
# the package is made at build time by tools/make-package (deterministic).
if(ZL_TESTS AND NOT ZL_FUZZ)
  set(tiny ${PROJECT_BINARY_DIR}/tiny-package)
  add_custom_command(OUTPUT ${tiny}/manifest.json
    COMMAND ${PROJECT_SOURCE_DIR}/tools/make-package --scale tiny --out ${tiny} --quiet
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/make-package
    COMMENT "Making the tiny package")
  zl_package_table(zl_app_package_tiny ${tiny} ${tiny}/manifest.json)
  add_executable(zephyrloader-cli-tiny cli/main.cpp)
  target_link_libraries(zephyrloader-cli-tiny PRIVATE zl_app_cli zl_app_package_tiny)
endif()

# The demo's program: scripts/demo sets ZL_DEMO_PACKAGE to the package it made.
set(ZL_DEMO_PACKAGE "" CACHE PATH "Folder of a tools/make-package package for zephyrloader-cli-demo")
if(ZL_DEMO_PACKAGE)
  zl_package_table(zl_app_package_demo ${ZL_DEMO_PACKAGE})
  add_executable(zephyrloader-cli-demo cli/main.cpp)
  target_link_libraries(zephyrloader-cli-demo PRIVATE zl_app_cli zl_app_package_demo)
endif()
