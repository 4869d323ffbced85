# The application's logic without a window: configuration, the controller,
# verification, install and exit. Qt-free; the window and the CLI are views.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TINYXML2 REQUIRED IMPORTED_TARGET tinyxml2)
zl_library(zl_app SOURCES
  app_log.cpp
  app_paths.cpp
  app_state.cpp
  controller.cpp
  controller_install.cpp
  controller_mirrors.cpp
  controller_startup.cpp
  controller_verify.cpp
  controller_window.cpp
  controller_driver.cpp
  window_texts.cpp
  default_services.cpp
  engine_port.cpp
  finish_info.cpp
  formatters.cpp
  http_fetch.cpp
  ini_file.cpp
  limit_split.cpp
  opener.cpp
  package_table.cpp
  prefix_md5.cpp
  resources.cpp
  resume_decision.cpp
  single_instance.cpp
  crash_dump.cpp
  server_config.cpp
  live_services.cpp
  LIBS zl_base_ini zl_telemetry zl_portmap zl_core_task zl_meta_storage zl_meta_digest zl_base_runtime PkgConfig::TINYXML2 zl_base_curl OpenSSL::Crypto)

# The built-in package table: the real package, or (ZL_PACKAGE=DIR) a package
# made by tools/make-package. zl_app_package links into the programs.
set(ZL_PACKAGE "" CACHE PATH "Folder of a tools/make-package package to build in (empty: the real package)")
set(ZL_PACKAGE_MIRROR_HOST "127.0.0.2" CACHE STRING "Host of the built-in default mirror URLs")
set(ZL_PACKAGE_CONFIG_URL "https://127.0.0.2/downloader/TlvResourceList.xml" CACHE STRING "Built-in configuration URL")
function(zl_package_table target package_dir)
  set(out ${PROJECT_BINARY_DIR}/generated/app/${target}.cpp)
  set(args --out ${out} --mirror-host ${ZL_PACKAGE_MIRROR_HOST} --config-url ${ZL_PACKAGE_CONFIG_URL})
  set(deps ${PROJECT_SOURCE_DIR}/app/gen_package_table.py)
  if(package_dir)
    list(APPEND args --package ${package_dir})
    list(APPEND deps ${package_dir}/manifest.json)
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND python3 ${PROJECT_SOURCE_DIR}/app/gen_package_table.py ${args}
    DEPENDS ${deps} ${ARGN}
    COMMENT "Generating the package table ${target}")
  add_library(${target} STATIC ${out})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
zl_package_table(zl_app_package "${ZL_PACKAGE}")
