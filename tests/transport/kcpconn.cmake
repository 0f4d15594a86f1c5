# The KCP connection against an in-test peer on loopback.
lumaview_add_test(conn_kcp_test NcmConnKcpTest.cpp KcpTestPeer.cpp)
target_link_libraries(conn_kcp_test PRIVATE lumaview_transport)
