# Blocked IPv4 ranges (loaded from a text file, merged, looked up by address).
zl_library(zl_core_ipfilter SOURCES ip_filter.cpp)
