# The libcurl exchange of the configuration fetch, the statistics posts and the port mapper.
find_package(CURL REQUIRED)
zl_library(zl_base_curl SOURCES curl_transfer.cpp LIBS CURL::libcurl)
