# zlfetch seed: serve a torrent's data to BitTorrent peers; the listen-port
# checks and texts it shares with zlfetch get.
target_sources(zlfetch_cli PRIVATE zlfetch/cmd_seed.cpp zlfetch/listen_port.cpp zlfetch/text_format.cpp)
