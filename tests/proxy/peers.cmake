# Real peers (curl, nginx, openssl) drive the built lumaview-proxy over
# loopback. The script exits 77 when one of them is not installed.
add_test(NAME proxy_curl_nginx
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/curl_nginx_test.sh $<TARGET_FILE:lumaview-proxy>)
set_tests_properties(proxy_curl_nginx PROPERTIES
                     TIMEOUT 180
                     SKIP_RETURN_CODE 77
                     LABELS peers)
