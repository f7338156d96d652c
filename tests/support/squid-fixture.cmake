# The CTest fixture "squid": a real squid on 127.0.0.1 in front of the nginx fixture, for tests of
# downloads through a proxy (see squid-fixture.sh for what it allows). Ports derive from the build
# folder like nginx's, in a range of their own; override them in the cache.
# _klv_build_hash: the build folder's, from nginx-fixture.cmake (included first).
math(EXPR _klv_squid_port "26000 + 2 * (0x${_klv_build_hash} % 1000)")
math(EXPR _klv_squid_login_port "${_klv_squid_port} + 1")
set(KLV_SQUID_OPEN_PORT ${_klv_squid_port} CACHE STRING "Port of the test squid that asks no login")
set(KLV_SQUID_LOGIN_PORT ${_klv_squid_login_port} CACHE STRING "Port of the test squid that asks a login")
set(KLV_SQUID_DIR ${CMAKE_BINARY_DIR}/squid-fixture CACHE INTERNAL "")
set(KLV_SQUID_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/squid-fixture.sh CACHE INTERNAL "")

add_test(NAME squid_fixture_start
         COMMAND bash ${KLV_SQUID_SCRIPT} start ${KLV_SQUID_DIR} ${KLV_SQUID_OPEN_PORT} ${KLV_SQUID_LOGIN_PORT}
                 ${KLV_NGINX_HTTP_PORT} ${KLV_NGINX_HTTPS_PORT})
add_test(NAME squid_fixture_stop COMMAND bash ${KLV_SQUID_SCRIPT} stop ${KLV_SQUID_DIR})
set_tests_properties(squid_fixture_start PROPERTIES FIXTURES_SETUP squid TIMEOUT 60)
set_tests_properties(squid_fixture_stop PROPERTIES FIXTURES_CLEANUP squid TIMEOUT 60)

# klv_use_squid(<test>): the test requires the fixtures "squid" and "nginx" and finds the proxy
# through
#   KLV_SQUID_OPEN_PORT   proxy port on 127.0.0.1 that asks no login
#   KLV_SQUID_LOGIN_PORT  proxy port on 127.0.0.1 that asks Basic login (407 without)
#   KLV_SQUID_USER, KLV_SQUID_PASSWORD  the fixed proxy credentials
#   KLV_SQUID_HOST        the update server's name, known to the proxy only (nginx's ports)
#   KLV_SQUID_DIR         the fixture folder (access.log, passwd)
# and nginx through the variables of klv_use_nginx().
function(klv_use_squid test)
    klv_use_nginx(${test})
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED squid)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
        "KLV_SQUID_OPEN_PORT=${KLV_SQUID_OPEN_PORT}"
        "KLV_SQUID_LOGIN_PORT=${KLV_SQUID_LOGIN_PORT}"
        "KLV_SQUID_DIR=${KLV_HOST_DRIVE}${KLV_SQUID_DIR}"
        "KLV_SQUID_USER=kantoor"
        "KLV_SQUID_PASSWORD=Pr0xy:Geh@im"
        "KLV_SQUID_HOST=updates.klv.test")
endfunction()
