# zlfetch get --dht: downloads found only through thirty of our DHT nodes on
# 127.0.82.x (kad_swarm_tool), from an aria2c seeder and from a zlfetch seed
# --dht; the script starts and stops everything it needs.
add_test(NAME dht_download_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/dht_download_test.py $<TARGET_FILE:zlfetch> $<TARGET_FILE:kad_swarm_tool>)
set_tests_properties(dht_download_test PROPERTIES LABELS real_peers TIMEOUT 300)
