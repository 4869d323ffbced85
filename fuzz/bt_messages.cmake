zl_fuzzer(fuzz_bt_messages SOURCES bt_messages_fuzz.cpp LIBS zl_net_bt_peer)
