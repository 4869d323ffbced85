# The layered task object and its worker loop, its settings, status, records
# and resume data, and the views its peer driver, trackers, DHT step and UDP
# stream peers have of it. The driver (driver/) and the flat interface (api/)
# add their files to this library.
zl_library(zl_core_task SOURCES
  task_settings.cpp
  source_lines.cpp
  half_open_limit.cpp
  pool_trim.cpp
  resume_info.cpp
  metainfo_source.cpp
  task_base_work.cpp
  task_work_with_pieces.cpp
  task_block_reads.cpp
  task_check_progress.cpp
  task_work_with_trans_statis.cpp
  task_work_with_peers.cpp
  task_peer_views.cpp
  task_network.cpp
  task_work_thread.cpp
  task_work_loop.cpp
  task_meta_hooks.cpp
  task_link_text.cpp
  task_bt_views.cpp
  task_dht_view.cpp
  task_tracker_view.cpp
  task_udp_stream_view.cpp
  LIBS zl_base_runtime zl_core_ipfilter zl_meta_buffer_pool zl_meta_torrent zl_meta_storage
       zl_core_sched zl_core_sched_state zl_core_peers zl_core_listener
       zl_net_http_peer zl_net_ftp_peer zl_net_bt_peer
       zl_udp_server zl_udp_dht zl_udp_stream_service
       zl_core_driver_candidates zl_core_driver_trackers zl_core_driver_dht)
