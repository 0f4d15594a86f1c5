# The DNS reply parser and name decoder; seeds are small real and hand-made replies.
lumaview_add_fuzzer(dns_reply_fuzzer corpus/dns DnsReplyFuzzer.cpp)
