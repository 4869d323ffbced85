# Digests (SHA-1 with its stored context, MD5, Adler-32) and the buffer pools.
find_package(ZLIB REQUIRED)
zl_library(zl_meta_digest SOURCES
  digest_core.cpp
  sha1.cpp
  md5.cpp
  adler32.cpp
  LIBS zl_base OpenSSL::Crypto ZLIB::ZLIB)
zl_library(zl_meta_buffer_pool SOURCES
  buffer_pool.cpp
  LIBS zl_base)
