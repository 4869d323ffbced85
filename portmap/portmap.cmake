# The listening port's choice and its UPnP mapping on the gateway.
find_package(tinyxml2 CONFIG REQUIRED)
zl_library(zl_portmap_choice SOURCES port_choice.cpp LIBS zl_base)
zl_library(zl_portmap_igd SOURCES igd_description.cpp ssdp_search.cpp LIBS zl_base zl_base_curl tinyxml2::tinyxml2)
zl_library(zl_portmap SOURCES
  port_forward_engine.cpp
  port_mapper.cpp
  upnp_http.cpp
  LIBS zl_portmap_choice zl_portmap_igd zl_telemetry zl_base_curl)
