# The KCP connection against an in-test peer on loopback.
lumaview_add_test(conn_kcp_test NcmConnKcpTest.cpp KcpTestPeer.cpp)
target_link_libraries(conn_kcp_test PRIVATE lumaview_transport)

# The relay driven by the proxy's KCP connections, and whole requests
# through proxy, relay (and a lossy link) to a local upstream.
lumaview_add_test(kcp_relay_test KcpRelayTest.cpp KcpTestPeer.cpp)
target_link_libraries(kcp_relay_test PRIVATE lumaview_relay)
lumaview_add_test(kcp_end_to_end_test KcpEndToEndTest.cpp KcpTestPeer.cpp)
target_link_libraries(kcp_end_to_end_test PRIVATE lumaview_relay)

# Real peers (curl, nginx, openssl) through the built proxy, relay and lossy
# forwarder. The script exits 77 when one of them is not installed.
add_test(NAME kcp_curl_nginx
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/kcp_curl_nginx_test.sh
                 $<TARGET_FILE:lumaview-proxy> $<TARGET_FILE:lumaview-relay> $<TARGET_FILE:lumaview-lossy>)
set_tests_properties(kcp_curl_nginx PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS peers)
