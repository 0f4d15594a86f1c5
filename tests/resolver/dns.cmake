# DNS message format, local IP stack and NAT64.
lumaview_add_test(dns_message_test DnsMessageTest.cpp DnsTestSupport.cpp)
lumaview_add_test(nat64_test Nat64Test.cpp DnsTestSupport.cpp)
lumaview_add_test(dns_resolver_test DnsResolverTest.cpp DnsTestSupport.cpp)
