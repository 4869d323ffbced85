# A task's DHT step: a BitTorrent lookup for its info hash, every 8 s.
zl_library(zl_core_driver_dht SOURCES dht_step.cpp LIBS zl_udp_dht)
