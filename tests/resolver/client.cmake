# DNS client, resolution tasks, HTTP-DNS and reports. The fakes listen on
# 127.0.5.x port 53; the end-to-end script runs dnsmasq, lumaview-httpdns, a
# Python web server and lumaview-proxy, all on 127.0.5.x and 127.0.0.1.
lumaview_add_test(dns_reports_test DnsReportsTest.cpp)
lumaview_add_test(dns_resolution_task_test NcmDnsResolutionTaskTest.cpp ResolverFakes.cpp)
lumaview_add_test(dns_client_test NcmDnsClientTest.cpp ResolverFakes.cpp)

add_test(NAME dns_client_end_to_end
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/httpdns_end_to_end.sh
                 $<TARGET_FILE:lumaview-proxy> $<TARGET_FILE:lumaview-httpdns>)
set_tests_properties(dns_client_end_to_end PROPERTIES
                     TIMEOUT 120
                     SKIP_RETURN_CODE 77
                     LABELS peers)
