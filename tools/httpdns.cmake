# The HTTP-DNS service the proxy's resolver talks to, for deployments and
# for the end-to-end tests.
add_executable(lumaview-httpdns lumaview-httpdns.cpp)
target_link_libraries(lumaview-httpdns PRIVATE lumaview_proxy)
