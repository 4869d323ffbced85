# Bencoded values: the QElement tree, ByteBuffer, parsing and encoding.
zl_library(zl_meta_bencode SOURCES
  byte_buffer.cpp
  qelement.cpp
  bencode.cpp)
