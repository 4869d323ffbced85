# zlfetch info: the torrent reader behind the command.
find_package(jsoncpp CONFIG REQUIRED)
target_sources(zlfetch_cli PRIVATE zlfetch/cmd_info.cpp)
target_link_libraries(zlfetch_cli PUBLIC zl_meta_torrent JsonCpp::JsonCpp)
