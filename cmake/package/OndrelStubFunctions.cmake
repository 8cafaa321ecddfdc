# SPDX-License-Identifier: Zlib
# ondrel_add_installer(), read by OndrelStubConfig.cmake.
#
#   ondrel_add_installer(NAME OUTPUT FILE.exe (ARCHIVE_DIR DIR | ARCHIVE FILE.7z)
#                        SETUP target-or-file [FILE_VERSION A.B.C.D] [PRODUCT_VERSION A.B.C.D]
#                        [VERSION_INFO KEY=VALUE...] [ICON FILE.ico] [EXECUTION_LEVEL LEVEL]
#                        [PACK_OPTIONS ARGUMENT...] [EXCLUDE_FROM_ALL])
#
# The target NAME writes OUTPUT (relative: to the current binary folder): the bare stub packed
# with the product's archive and its setup program, with --strict, then checked with --check.
# ARCHIVE_DIR is archived with `cmake -E tar` (the files it holds when the project is configured
# are the target's inputs; a file added or removed makes CMake configure again); ARCHIVE takes a
# 7z archive made elsewhere. SETUP is a target defined before the call or a file. Relative input
# paths are read from the current source folder. The other options become the packer's
# --file-version, --product-version, --version-info (one for each), --icon and
# --execution-level; PACK_OPTIONS are passed on as they are (signing, --cab-compression).
cmake_policy(VERSION 3.19...3.25)

# _ondrel_quoted(OUT LIST): LIST as CMake arguments that keep every character of each item.
function(_ondrel_quoted out)
    set(text "")
    foreach(item IN LISTS ARGN)
        string(APPEND text " [=====[${item}]=====]")
    endforeach()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# _ondrel_input_path(OUT WHAT OPTION PATH): PATH, absolute; a file that neither exists nor is
# made by the build stops the configuration.
function(_ondrel_input_path out what option path)
    get_filename_component(path "${path}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_source_file_property(generated "${path}" GENERATED)
    if(NOT EXISTS "${path}" AND NOT generated)
        message(FATAL_ERROR "${what}: ${option} ${path} does not exist")
    endif()
    set(${out} "${path}" PARENT_SCOPE)
endfunction()

function(ondrel_add_installer name)
    set(what "ondrel_add_installer(${name}) in ${CMAKE_CURRENT_LIST_FILE}")
    cmake_parse_arguments(PARSE_ARGV 1 ARG "EXCLUDE_FROM_ALL"
        "OUTPUT;ARCHIVE_DIR;ARCHIVE;SETUP;FILE_VERSION;PRODUCT_VERSION;ICON;EXECUTION_LEVEL"
        "VERSION_INFO;PACK_OPTIONS")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${what}: unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    foreach(option IN ITEMS OUTPUT SETUP)
        if(NOT ARG_${option})
            message(FATAL_ERROR "${what}: ${option} is required")
        endif()
    endforeach()
    if((ARG_ARCHIVE_DIR AND ARG_ARCHIVE) OR NOT (ARG_ARCHIVE_DIR OR ARG_ARCHIVE))
        message(FATAL_ERROR "${what}: give one of ARCHIVE_DIR (a folder) and ARCHIVE (a 7z file)")
    endif()

    set(work "${CMAKE_CURRENT_BINARY_DIR}/ondrel-installers/${name}")
    set(steps "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/OndrelStubSteps.cmake")
    get_filename_component(output "${ARG_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")

    if(ARG_ARCHIVE_DIR)
        get_filename_component(folder "${ARG_ARCHIVE_DIR}" ABSOLUTE
            BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        if(NOT IS_DIRECTORY "${folder}")
            message(FATAL_ERROR "${what}: ARCHIVE_DIR ${folder} is not a folder")
        endif()
        set(archive "${work}/product.7z")
        file(GLOB_RECURSE archived CONFIGURE_DEPENDS LIST_DIRECTORIES false "${folder}/*")
        # A folder given another name is archived again, with whatever its files' dates.
        _ondrel_quoted(quoted_what "${what}")
        _ondrel_quoted(quoted_folder "${folder}")
        _ondrel_quoted(quoted_archive "${archive}")
        file(GENERATE OUTPUT "${work}/archive.cmake" CONTENT
            "set(ONDREL_WHAT${quoted_what})\nset(ONDREL_FOLDER${quoted_folder})
set(ONDREL_ARCHIVE${quoted_archive})\n")
        add_custom_command(OUTPUT "${archive}"
            COMMAND "${CMAKE_COMMAND}" -D ONDREL_STEP=archive
                "-DONDREL_PARAMETERS=${work}/archive.cmake" -P "${steps}"
            DEPENDS ${archived} "${work}/archive.cmake" "${steps}"
            BYPRODUCTS "${archive}.files"
            COMMENT "Archiving ${folder} for ${name}"
            VERBATIM)
    else()
        _ondrel_input_path(archive "${what}" ARCHIVE "${ARG_ARCHIVE}")
    endif()

    if(TARGET "${ARG_SETUP}")
        set(setup "$<TARGET_FILE:${ARG_SETUP}>")
        set(setup_depends "${ARG_SETUP}" "${setup}")
    else()
        _ondrel_input_path(setup "${what}" "SETUP (not a target defined before this call)"
            "${ARG_SETUP}")
        set(setup_depends "${setup}")
    endif()

    set(options "")
    foreach(option IN ITEMS FILE_VERSION PRODUCT_VERSION EXECUTION_LEVEL)
        if(DEFINED ARG_${option})
            string(TOLOWER "--${option}" packer_option)
            string(REPLACE "_" "-" packer_option "${packer_option}")
            list(APPEND options "${packer_option}" "${ARG_${option}}")
        endif()
    endforeach()
    foreach(entry IN LISTS ARG_VERSION_INFO)
        list(APPEND options --version-info "${entry}")
    endforeach()
    set(icon "")
    if(ARG_ICON)
        _ondrel_input_path(icon "${what}" ICON "${ARG_ICON}")
        list(APPEND options --icon "${icon}")
    endif()
    list(APPEND options ${ARG_PACK_OPTIONS})

    # Everything the pack depends on but its files, in one file that changes only when they do:
    # a changed option packs again, whatever the build tool knows of command lines.
    _ondrel_quoted(quoted_packer ${OndrelStub_PACKER})
    _ondrel_quoted(quoted_stub "${OndrelStub_STUB}")
    _ondrel_quoted(quoted_output "${output}")
    _ondrel_quoted(quoted_setup "${setup}")
    _ondrel_quoted(quoted_options ${options})
    _ondrel_quoted(quoted_what "${what}")
    _ondrel_quoted(quoted_archive "${archive}")
    set(parameters "${work}/pack-$<CONFIG>.cmake")
    file(GENERATE OUTPUT "${parameters}" CONTENT "set(ONDREL_WHAT${quoted_what})
set(ONDREL_PACKER${quoted_packer})\nset(ONDREL_STUB${quoted_stub})
set(ONDREL_OUTPUT${quoted_output})\nset(ONDREL_ARCHIVE${quoted_archive})
set(ONDREL_SETUP${quoted_setup})\nset(ONDREL_OPTIONS${quoted_options})\n")

    list(GET OndrelStub_PACKER -1 packer_program)
    add_custom_command(OUTPUT "${output}"
        COMMAND "${CMAKE_COMMAND}" -D ONDREL_STEP=pack "-DONDREL_PARAMETERS=${parameters}"
            -P "${steps}"
        DEPENDS "${archive}" ${setup_depends} ${icon} "${packer_program}" "${OndrelStub_STUB}"
            "${parameters}" "${steps}"
        BYPRODUCTS "${output}.packing"
        COMMENT "Packing ${output}"
        VERBATIM)
    if(ARG_EXCLUDE_FROM_ALL)
        add_custom_target(${name} DEPENDS "${output}")
    else()
        add_custom_target(${name} ALL DEPENDS "${output}")
    endif()
endfunction()
