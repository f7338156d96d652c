# The CTest fixture "nginx": a real nginx on 127.0.0.1 for tests that talk HTTP (see
# nginx-fixture.sh for what it serves). Ports derive from the build folder so that several
# build folders on one machine can test at the same time; override them in the cache.
string(MD5 _klv_build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_klv_build_hash}" 0 3 _klv_build_hash)
math(EXPR _klv_http_port "20000 + 2 * (0x${_klv_build_hash} % 2000)")
math(EXPR _klv_https_port "${_klv_http_port} + 1")
set(KLV_NGINX_HTTP_PORT ${_klv_http_port} CACHE STRING "Port of the test nginx (http)")
set(KLV_NGINX_HTTPS_PORT ${_klv_https_port} CACHE STRING "Port of the test nginx (https)")
set(KLV_NGINX_DIR ${CMAKE_BINARY_DIR}/nginx-fixture CACHE INTERNAL "")
set(KLV_NGINX_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/nginx-fixture.sh CACHE INTERNAL "")

add_test(NAME nginx_fixture_start
         COMMAND bash ${KLV_NGINX_SCRIPT} start ${KLV_NGINX_DIR} ${KLV_NGINX_HTTP_PORT} ${KLV_NGINX_HTTPS_PORT})
add_test(NAME nginx_fixture_stop COMMAND bash ${KLV_NGINX_SCRIPT} stop ${KLV_NGINX_DIR})
set_tests_properties(nginx_fixture_start PROPERTIES FIXTURES_SETUP nginx TIMEOUT 60)
set_tests_properties(nginx_fixture_stop PROPERTIES FIXTURES_CLEANUP nginx TIMEOUT 60)

# klv_use_nginx(<test>): the test requires the fixture and finds it through
#   KLV_NGINX_HTTP_PORT, KLV_NGINX_HTTPS_PORT  ports on 127.0.0.1
#   KLV_NGINX_DIR       the fixture folder (htpasswd, tls/ca.pem, logs/access.log)
#   KLV_NGINX_DOCROOT   the served folder
#   KLV_NGINX_USER, KLV_NGINX_PASSWORD  the fixed test credentials
function(klv_use_nginx test)
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED nginx)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
        "KLV_NGINX_HTTP_PORT=${KLV_NGINX_HTTP_PORT}"
        "KLV_NGINX_HTTPS_PORT=${KLV_NGINX_HTTPS_PORT}"
        "KLV_NGINX_DIR=${KLV_HOST_DRIVE}${KLV_NGINX_DIR}"
        "KLV_NGINX_DOCROOT=${KLV_HOST_DRIVE}${KLV_NGINX_DIR}/docroot"
        "KLV_NGINX_USER=klvtest"
        "KLV_NGINX_PASSWORD=Kl1-Test:Key")
endfunction()
