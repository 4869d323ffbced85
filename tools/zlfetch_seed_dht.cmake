# zlfetch seed --dht: the seed's DHT node cache folder (the user's data folder,
# never the folder it serves).
target_sources(zlfetch_cli PRIVATE zlfetch/dht_cache_folder.cpp)
