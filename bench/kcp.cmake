add_executable(kcp_engine_bench KcpEngineBench.cpp ${CMAKE_SOURCE_DIR}/tests/transport/KcpSimulatedNetwork.cpp)
target_link_libraries(kcp_engine_bench PRIVATE lumaview_transport benchmark::benchmark benchmark::benchmark_main)
