# Piece scheduling and transfer statistics: the counted set of requested
# pieces, shared requests, server ranges, random start, have batches, block
# read mapping, rarest-first choice, and the per-second statistics with pace, limits and budgets.
zl_library(zl_core_sched SOURCES
  transfer_pace.cpp
  transfer_statistics.cpp
  bandwidth_share.cpp
  peer_health.cpp
  requested_pieces.cpp
  random_start.cpp
  have_announcer.cpp
  have_bitfield.cpp
  block_read.cpp
  shared_requests.cpp
  server_ranges.cpp
  piece_rarity.cpp
  LIBS zl_base zl_net_peer)
