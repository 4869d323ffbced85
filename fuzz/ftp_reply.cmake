zl_fuzzer(fuzz_ftp_reply SOURCES ftp_reply_fuzz.cpp LIBS zl_net_ftp_codec)
