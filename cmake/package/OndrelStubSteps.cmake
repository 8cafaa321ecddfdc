# SPDX-License-Identifier: Zlib
# The two steps behind ondrel_add_installer and OndrelStubCPack, run when the product is built or
# packaged rather than when it is configured:
#   cmake -D ONDREL_STEP=archive -D ONDREL_PARAMETERS=FILE -P OndrelStubSteps.cmake
#   cmake -D ONDREL_STEP=pack -D ONDREL_PARAMETERS=FILE -P OndrelStubSteps.cmake
# FILE sets the variables the step's function takes; CPack's script include()s this file for the
# functions alone. Each step writes its result under a temporary name and renames it into place,
# so a failed step leaves nothing at its output, not even the result of an earlier build.
cmake_policy(VERSION 3.19...3.25)

# A date for archive entries when SOURCE_DATE_EPOCH is not set: the same on every machine.
set(_ONDREL_FIXED_MTIME "2000-01-01 00:00:00 UTC")

# _ondrel_fail(WHAT TEXT...): stops the step with one message that names what failed.
function(_ondrel_fail what)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${what}: ${text}")
endfunction()

# _ondrel_last_line(OUT TEXT): the last line of TEXT that holds anything, which is where the
# packer and `cmake -E tar` put their reason.
function(_ondrel_last_line out text)
    string(STRIP "${text}" text)
    string(REGEX REPLACE "^.*\n" "" text "${text}")
    string(STRIP "${text}" text)
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# _ondrel_archive(WHAT FOLDER OUT [SKIP RELATIVE_PATH]): OUT, a 7z archive of every file under
# FOLDER but SKIP, named relative to FOLDER, in byte order of their names, each dated
# SOURCE_DATE_EPOCH or the fixed date. Empty folders are not carried: the list names files only,
# so that `cmake -E tar` never walks a folder in the file system's own order.
function(_ondrel_archive what folder out)
    cmake_parse_arguments(PARSE_ARGV 3 ARG "" "SKIP" "")
    if(NOT IS_DIRECTORY "${folder}")
        _ondrel_fail("${what}" "the folder ${folder} does not exist")
    endif()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${folder}" "${folder}/*")
    if(ARG_SKIP)
        list(REMOVE_ITEM files "${ARG_SKIP}")
    endif()
    list(SORT files COMPARE STRING)
    if(NOT files)
        _ondrel_fail("${what}" "${folder} holds no file to put in the archive")
    endif()
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
            _ondrel_fail("${what}" "SOURCE_DATE_EPOCH is \"$ENV{SOURCE_DATE_EPOCH}\", not a number "
                "of seconds")
        endif()
        # string(TIMESTAMP) reads SOURCE_DATE_EPOCH in place of the clock.
        string(TIMESTAMP mtime "%Y-%m-%d %H:%M:%S UTC" UTC)
    else()
        set(mtime "${_ONDREL_FIXED_MTIME}")
    endif()
    get_filename_component(out_folder "${out}" DIRECTORY)
    file(MAKE_DIRECTORY "${out_folder}")
    list(JOIN files "\n" listed)
    file(WRITE "${out}.files" "${listed}\n")
    file(REMOVE "${out}" "${out}.partial")
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -E tar cf "${out}.partial" --format=7zip "--mtime=${mtime}"
            "--files-from=${out}.files"
        WORKING_DIRECTORY "${folder}"
        RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT status STREQUAL "0")
        file(REMOVE "${out}.partial")
        _ondrel_last_line(reason "${output}")
        _ondrel_fail("${what}" "cmake -E tar could not archive ${folder}: ${reason}")
    endif()
    file(RENAME "${out}.partial" "${out}")
endfunction()

# _ondrel_run_packer(OUT ARGUMENTS...): runs the packer (ONDREL_PACKER: a launcher, if any, and
# the program) with ARGUMENTS; OUT is what it printed, _ondrel_status its exit status (or why it
# could not start) and _ondrel_error what it said on stderr.
macro(_ondrel_run_packer out)
    execute_process(COMMAND ${ONDREL_PACKER} ${ARGN}
        RESULT_VARIABLE _ondrel_status OUTPUT_VARIABLE ${out} ERROR_VARIABLE _ondrel_error)
endmacro()

# _ondrel_pack(WHAT OUTPUT STUB ARCHIVE SETUP OPTIONS...): OUTPUT, the bare stub STUB packed with
# ARCHIVE and the setup program SETUP, with --strict (a warning fails the build) and OPTIONS, and
# checked with --check. ONDREL_PACKER is the packer's command.
function(_ondrel_pack what output stub archive setup)
    get_filename_component(output_folder "${output}" DIRECTORY)
    file(MAKE_DIRECTORY "${output_folder}")
    set(partial "${output}.packing")
    file(REMOVE "${output}" "${partial}")
    _ondrel_run_packer(printed -o "${partial}" --stub "${stub}" --archive "${archive}"
        --setup "${setup}" --strict ${ARGN})
    if(NOT _ondrel_status STREQUAL "0")
        # The packer writes nothing at its OUT when it fails; a packer that could not be started
        # or was killed is not trusted with that.
        file(REMOVE "${partial}")
        _ondrel_last_line(reason "${_ondrel_error}")
        if(reason STREQUAL "")
            set(reason "ended with ${_ondrel_status}")
        endif()
        _ondrel_fail("${what}" "packing ${output} failed: ${reason}")
    endif()
    _ondrel_run_packer(checked --check "${partial}")
    if(NOT _ondrel_status STREQUAL "0")
        file(REMOVE "${partial}")
        _ondrel_last_line(reason "${_ondrel_error}")
        _ondrel_fail("${what}" "${output} was packed but fails pack-stub --check: ${reason}")
    endif()
    file(RENAME "${partial}" "${output}")
    _ondrel_last_line(summary "${checked}")
    string(REPLACE "${partial}" "${output}" summary "${summary}")
    message(STATUS "${summary}")
endfunction()

# _ondrel_file_version(OUT_NUMBER OUT_TEXT VERSION): VERSION as the packer's A.B.C.D, missing
# parts 0, from its leading numbers (1.2.3-rc1 gives 1.2.3.0); OUT_TEXT is VERSION itself when
# those numbers are not all of it, for the ProductVersion string. A VERSION that starts with no
# number, or with a part over 65535, gives no number: the text alone.
function(_ondrel_file_version out_number out_text version)
    set(number "")
    set(text "")
    if(version MATCHES "^([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(\\.([0-9]+))?")
        set(parts "${CMAKE_MATCH_1}" "${CMAKE_MATCH_3}" "${CMAKE_MATCH_5}" "${CMAKE_MATCH_7}")
        set(leading "${CMAKE_MATCH_0}")
        foreach(part IN LISTS parts)
            if(part STREQUAL "")
                set(part 0)
            endif()
            # Compared as numbers of any length: a part of 20 digits is not a number CMake reads.
            string(REGEX REPLACE "^0+([0-9])" "\\1" part "${part}")
            string(LENGTH "${part}" digits)
            if(digits GREATER 5 OR part GREATER 65535)
                set(number "")
                break()
            endif()
            list(APPEND number "${part}")
        endforeach()
        list(JOIN number "." number)
        if(NOT version STREQUAL leading OR number STREQUAL "")
            set(text "${version}")
        endif()
    else()
        set(text "${version}")
    endif()
    set(${out_number} "${number}" PARENT_SCOPE)
    set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED ONDREL_STEP)
    include("${ONDREL_PARAMETERS}")
    if(ONDREL_STEP STREQUAL "archive")
        _ondrel_archive("${ONDREL_WHAT}" "${ONDREL_FOLDER}" "${ONDREL_ARCHIVE}")
    elseif(ONDREL_STEP STREQUAL "pack")
        _ondrel_pack("${ONDREL_WHAT}" "${ONDREL_OUTPUT}" "${ONDREL_STUB}" "${ONDREL_ARCHIVE}"
            "${ONDREL_SETUP}" ${ONDREL_OPTIONS})
    else()
        message(FATAL_ERROR "OndrelStubSteps.cmake: no step ${ONDREL_STEP}")
    endif()
endif()
