# zlfetch's --rendezvous option (get; seed when it exists).
target_sources(zlfetch_cli PRIVATE zlfetch/rendezvous_option.cpp)
