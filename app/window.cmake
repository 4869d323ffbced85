# The main window (Qt 6 Widgets): the library zl_window and the program
# zephyrloader. Built only where Qt 6 is installed; the controller and the CLI
# do not need it.
if(NOT ZL_FUZZ)
  find_package(Qt6 COMPONENTS Widgets QUIET)
endif()
if(NOT Qt6Widgets_FOUND)
  if(NOT ZL_FUZZ)
    message(STATUS "Qt 6 Widgets not found: the window (zephyrloader) is not built")
  endif()
  return()
endif()

# The art, painted at build time.
add_executable(zl_window_art window/art/make_art.cpp window/art/icon_painter.cpp)
target_include_directories(zl_window_art PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(zl_window_art PRIVATE Qt6::Gui)
# A build tool: the sanitizers would only report the inside of Qt's own threads.
target_compile_options(zl_window_art PRIVATE -fno-sanitize=all)
target_link_options(zl_window_art PRIVATE -fno-sanitize=all)
set(zl_art_dir ${PROJECT_BINARY_DIR}/generated/app/window/art)
add_custom_command(OUTPUT ${zl_art_dir}/art.cpp ${zl_art_dir}/bg.png ${zl_art_dir}/bg2.png ${zl_art_dir}/icon.png
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zl_art_dir}
  COMMAND zl_window_art ${zl_art_dir} ${zl_art_dir}/art.cpp
  DEPENDS zl_window_art
  COMMENT "Painting the window's art")
add_library(zl_window_art_data STATIC ${zl_art_dir}/art.cpp)
target_include_directories(zl_window_art_data PUBLIC ${PROJECT_SOURCE_DIR})

# The desktop's icons (hicolor sizes and SVG) from the same shapes, for the
# package; built only where Qt's SVG module is installed.
find_package(Qt6 COMPONENTS Svg QUIET)
if(Qt6Svg_FOUND)
  add_executable(zl_window_icons window/art/make_icons.cpp window/art/icon_painter.cpp)
  target_include_directories(zl_window_icons PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(zl_window_icons PRIVATE Qt6::Gui Qt6::Svg)
  target_compile_options(zl_window_icons PRIVATE -fno-sanitize=all)
  target_link_options(zl_window_icons PRIVATE -fno-sanitize=all)
  set(ZL_ICON_SIZES 48 128 256)
  set(zl_icons_dir ${PROJECT_BINARY_DIR}/generated/app/window/icons)
  set(zl_icon_files ${zl_icons_dir}/scalable.svg)
  foreach(size IN LISTS ZL_ICON_SIZES)
    list(APPEND zl_icon_files ${zl_icons_dir}/${size}.png)
  endforeach()
  add_custom_command(OUTPUT ${zl_icon_files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zl_icons_dir}
    COMMAND zl_window_icons ${zl_icons_dir} ${ZL_ICON_SIZES}
    DEPENDS zl_window_icons
    COMMENT "Painting the desktop icons")
  # The package takes <size>.png and scalable.svg from the folder it names.
  add_custom_target(zl_window_icon_files DEPENDS ${zl_icon_files})
  set_target_properties(zl_window_icon_files PROPERTIES ZL_ICONS_DIR ${zl_icons_dir} ZL_ICON_SIZES "${ZL_ICON_SIZES}")
endif()

zl_library(zl_window SOURCES
  window/exit_dialog.cpp
  window/file_list.cpp
  window/main_window.cpp
  window/qt_user_interface.cpp
  window/settings_dialog.cpp
  window/skin.cpp
  window/window_options.cpp
  LIBS zl_app zl_app_cli zl_window_art_data Qt6::Widgets)
set_target_properties(zl_window PROPERTIES AUTOMOC ON)

add_executable(zephyrloader window/main.cpp)
target_link_libraries(zephyrloader PRIVATE zl_window zl_app_package)

# The window with the tiny package built in, for the run under Xvfb.
if(TARGET zl_app_package_tiny)
  add_executable(zephyrloader-tiny window/main.cpp)
  target_link_libraries(zephyrloader-tiny PRIVATE zl_window zl_app_package_tiny)
endif()
# And with the demo's package (scripts/demo).
if(TARGET zl_app_package_demo)
  add_executable(zephyrloader-demo window/main.cpp)
  target_link_libraries(zephyrloader-demo PRIVATE zl_window zl_app_package_demo)
endif()
