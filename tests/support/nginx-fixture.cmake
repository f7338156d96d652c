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

# The fixture's certificate authority, made once per build folder when it is configured, so that a
# test build of the updater can trust it as built in (AutoUpdateTestCa).
set(KLV_TEST_CA_DIR ${CMAKE_BINARY_DIR}/test-ca CACHE INTERNAL "")
if(NOT EXISTS ${KLV_TEST_CA_DIR}/ca.pem)
    file(MAKE_DIRECTORY ${KLV_TEST_CA_DIR})
    execute_process(COMMAND openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650
                            -subj "/CN=AutoUpdate test CA" -keyout ca.key -out ca.pem
                            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
                    WORKING_DIRECTORY ${KLV_TEST_CA_DIR} RESULT_VARIABLE _klv_ca_result OUTPUT_QUIET ERROR_QUIET)
    if(NOT _klv_ca_result EQUAL 0)
        message(FATAL_ERROR "openssl could not make the test certificate authority in ${KLV_TEST_CA_DIR}")
    endif()
endif()

add_test(NAME nginx_fixture_start
         COMMAND bash ${KLV_NGINX_SCRIPT} start ${KLV_NGINX_DIR} ${KLV_NGINX_HTTP_PORT} ${KLV_NGINX_HTTPS_PORT})
add_test(NAME nginx_fixture_stop COMMAND bash ${KLV_NGINX_SCRIPT} stop ${KLV_NGINX_DIR})
set_tests_properties(nginx_fixture_start PROPERTIES FIXTURES_SETUP nginx TIMEOUT 60
                                                    ENVIRONMENT "KLV_NGINX_CA_DIR=${KLV_TEST_CA_DIR}")
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
