# The version the programs state, and the resources of the Windows programs: version information in
# Dutch and the icon, rendered from cmake/AutoUpdate.svg at build time.

# KLV_VERSION: four numbers 0..65535, as a version resource holds them. Left empty, the project's
# version with zeros added (136.46 gives 136.46.0.0), so that a new project version carries through.
if(KLV_VERSION STREQUAL "")
    set(KLV_VERSION "${PROJECT_VERSION}")
    string(REGEX MATCHALL "[.]" _klv_dots "${KLV_VERSION}")
    list(LENGTH _klv_dots _klv_count)
    while(_klv_count LESS 3)
        string(APPEND KLV_VERSION ".0")
        math(EXPR _klv_count "${_klv_count} + 1")
    endwhile()
endif()
set(_klv_number "(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)")
if(NOT KLV_VERSION MATCHES "^${_klv_number}[.]${_klv_number}[.]${_klv_number}[.]${_klv_number}$")
    message(FATAL_ERROR "KLV_VERSION is '${KLV_VERSION}'; it must be four numbers 0..65535 without leading zeros, "
                        "separated by dots, for example 136.46.0.0")
endif()
string(REPLACE "." ";" _klv_numbers "${KLV_VERSION}")
foreach(_klv_part IN LISTS _klv_numbers)
    if(_klv_part GREATER 65535)
        message(FATAL_ERROR "KLV_VERSION is '${KLV_VERSION}'; each of its numbers must be 65535 or less")
    endif()
endforeach()
message(STATUS "Program version: ${KLV_VERSION}")

set(KLV_RC_COMPANY "Kelvora B.V.")
set(KLV_RC_PRODUCT "Kelvora AutoUpdate")
string(REPLACE "." "," KLV_RC_VERSION_COMMAS "${KLV_VERSION}")
set(KLV_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

if(WIN32)
    enable_language(RC)
    find_program(KLV_RSVG_CONVERT rsvg-convert)
    find_program(KLV_ICOTOOL icotool)
    if(NOT KLV_RSVG_CONVERT OR NOT KLV_ICOTOOL)
        message(FATAL_ERROR "The Windows programs' icon is made with rsvg-convert and icotool, and one is missing: "
                            "apt-get install librsvg2-bin icoutils (scripts/build-windows.sh installs both)")
    endif()
    # The sizes Windows shows in lists, title bars and large views; 256 is stored as PNG.
    set(_klv_svg ${CMAKE_CURRENT_LIST_DIR}/AutoUpdate.svg)
    set(_klv_dir ${CMAKE_BINARY_DIR}/icon)
    set(KLV_ICON_FILE ${_klv_dir}/AutoUpdate.ico)
    file(MAKE_DIRECTORY ${_klv_dir})
    set(_klv_render)
    set(_klv_pngs)
    foreach(_klv_size 16 32 48 256)
        list(APPEND _klv_render COMMAND ${KLV_RSVG_CONVERT} --width ${_klv_size} --height ${_klv_size}
             --output ${_klv_size}.png ${_klv_svg})
        list(APPEND _klv_pngs ${_klv_dir}/${_klv_size}.png)
    endforeach()
    add_custom_command(
        OUTPUT ${KLV_ICON_FILE}
        BYPRODUCTS ${_klv_pngs}
        ${_klv_render}
        COMMAND ${KLV_ICOTOOL} --create --output=${KLV_ICON_FILE} 16.png 32.png 48.png --raw=256.png
        DEPENDS ${_klv_svg}
        WORKING_DIRECTORY ${_klv_dir}
        COMMENT "Making the programs' icon"
        VERBATIM)
    add_custom_target(klv_windows_icon DEPENDS ${KLV_ICON_FILE})
endif()
foreach(_klv_var _klv_part _klv_dots _klv_count _klv_number _klv_numbers _klv_svg _klv_dir _klv_render _klv_pngs
                 _klv_size)
    unset(${_klv_var})
endforeach()

# klv_windows_resources(target DESCRIPTION text ORIGINAL_NAME file [ICON])
# Gives a Windows program its version resource (the description in Dutch, Windows-1252) and, with
# ICON, the icon as IDI_ICON1, the name Qt also takes for its windows. Does nothing elsewhere.
function(klv_windows_resources target)
    if(NOT WIN32)
        return()
    endif()
    cmake_parse_arguments(R "ICON" "DESCRIPTION;ORIGINAL_NAME" "" ${ARGN})
    if(NOT R_DESCRIPTION OR NOT R_ORIGINAL_NAME OR R_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "klv_windows_resources(${target} DESCRIPTION text ORIGINAL_NAME file [ICON])")
    endif()
    set(KLV_RC_DESCRIPTION "${R_DESCRIPTION}")
    set(KLV_RC_ORIGINAL_NAME "${R_ORIGINAL_NAME}")
    get_filename_component(KLV_RC_INTERNAL_NAME "${R_ORIGINAL_NAME}" NAME_WLE)
    set(KLV_RC_ICON "")
    if(R_ICON)
        set(KLV_RC_ICON "IDI_ICON1 ICON \"${KLV_ICON_FILE}\"")
    endif()
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${KLV_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    if(R_ICON)
        # The resource is compiled again when the icon changes, and only once the icon is made.
        set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${KLV_ICON_FILE})
        add_dependencies(${target} klv_windows_icon)
    endif()
endfunction()
