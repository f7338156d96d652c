#Writes ServerAddressData.h with the update server's base address in its stored (scrambled)
#form; ServerAddress.cpp turns it back.The two must use the same filler length, key and shift.
#klv_write_server_address(<plain address> <output header>)

function(klv_write_server_address plain output)
    string(REGEX REPLACE "/+$" "" plain "${plain}")
    if(NOT plain MATCHES "^[ -~]+$")
        message(FATAL_ERROR "KLV_UPDATE_SERVER must be a non-empty address of printable 7-bit characters")
    endif()
    set(key 29 71 5 88 42 13 60 37 94 18 51)
    set(filler_length 4)
    string(MD5 hash "${plain}")
    string(SUBSTRING "${hash}" 0 ${filler_length} filler)
    string(LENGTH "${plain}" plain_length)
    math(EXPR length "${filler_length} + ${plain_length}")

    set(codes "")
    string(HEX "${filler}" filler_hex)
    string(REGEX MATCHALL ".." filler_bytes "${filler_hex}")
    foreach(byte IN LISTS filler_bytes)
        list(APPEND codes "0x${byte}")
    endforeach()
    math(EXPR last "${plain_length} - 1")
    foreach(i RANGE 0 ${last})
        string(SUBSTRING "${plain}" ${i} 1 ch)
        string(HEX "${ch}" hex)
        math(EXPR c "0x${hex}")
        math(EXPR position "${filler_length} + ${i}")
        math(EXPR key_index "${position} % 11")
        list(GET key ${key_index} k)
        math(EXPR shift "(${k} + 7 * (${position} % 95) + 3 * (${length} % 95)) % 95")
        math(EXPR scrambled "32 + (${c} - 32 + ${shift}) % 95" OUTPUT_FORMAT HEXADECIMAL)
        list(APPEND codes "${scrambled}")
    endforeach()
    list(JOIN codes ", " initializer)
    file(CONFIGURE OUTPUT "${output}" CONTENT [[
// Generated from KLV_UPDATE_SERVER by ServerAddress.cmake; do not edit.
#pragma once

static constexpr char16_t kScrambledServerBase[] = {@initializer@};
]] @ONLY)
endfunction()
