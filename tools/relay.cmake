# The KCP relay (the far end of the proxy's KCP connections) and a lossy
# datagram forwarder for tests and benchmarks. Their classes live in a
# library so that tests can run them in-process.
add_library(lumaview_relay STATIC KcpRelay.cpp LossyLink.cpp)
target_link_libraries(lumaview_relay PUBLIC lumaview_transport lumaview_proxy PkgConfig::LIBEVENT)

add_executable(lumaview-relay lumaview-relay.cpp)
target_link_libraries(lumaview-relay PRIVATE lumaview_relay)

add_executable(lumaview-lossy lumaview-lossy.cpp)
target_link_libraries(lumaview-lossy PRIVATE lumaview_relay)
