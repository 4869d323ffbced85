# Tasks (settings, status, the layered task object and its worker loop), the
# engine context and the flat engine interface.
zl_library(zl_core_task SOURCES
  task_settings.cpp
  source_lines.cpp
  duplicate_rule.cpp
  half_open_limit.cpp
  pool_trim.cpp
  resume_info.cpp
  metainfo_source.cpp
  task_registry.cpp
  engine_context.cpp
  task_base_work.cpp
  task_work_with_peers.cpp
  task_work_with_pieces.cpp
  task_block_reads.cpp
  task_work_with_trans_statis.cpp
  task_work_thread.cpp
  task_work_loop.cpp
  engine_api_engine.cpp
  engine_api_create.cpp
  engine_api_task.cpp
  engine_api_disk.cpp
  engine_api_default.cpp
  task_meta_hooks.cpp
  task_peer_driver.cpp
  LIBS zl_base_runtime zl_core_ipfilter zl_meta_buffer_pool zl_meta_torrent zl_meta_storage
       zl_core_sched zl_core_peers zl_net_http_peer zl_net_ftp_peer)
