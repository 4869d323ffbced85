# Task link texts: the one-line description of a single-file task that the
# torrent object reads in place of a torrent.
target_sources(zl_meta_torrent PRIVATE link_text.cpp)
