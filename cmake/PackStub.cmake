# SPDX-License-Identifier: Zlib
# The packer and packed stubs at build time.
#
# The packer (tools/packer) is a program for the machine that builds, not for Windows, so it is
# built by a sub-build of its own with the host's compiler, into the same bin/ folder as the bare
# stub: tools/pack-stub runs it from there, and it edits the bare stub beside it by default.
#
#   add_packed_stub(<target> OUTPUT <path.exe> [STUB <bare stub target>]
#                   [ARGS <pack-stub arguments>...] [DEPENDS <files or targets>...])
#     Builds <path.exe> with `pack-stub -o <path.exe> --stub <bare stub> <ARGS>` as part of the
#     default build target <target>; the bare stub is ondrel_stub unless STUB names another. It is
#     packed again when the bare stub, the packer or anything in DEPENDS changes; list the payload
#     files (and the targets that make them) there. ARGS cannot carry an empty string: CMake
#     drops empty list items.
include(ExternalProject)

set(PACK_STUB_PROGRAM "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/pack-stub")
set(PACK_STUB_HOST_BUILD "${CMAKE_BINARY_DIR}/host-packer")
# Profile-guided: an instrumented packer, trained on packing into the bare stub, writes the counts
# that the packer is then compiled by (tools/packer/CMakeLists.txt).
set(PACK_STUB_PROFILE "${CMAKE_BINARY_DIR}/host-packer-profile")
ExternalProject_Add(host_packer_training
    SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../tools/packer"
    BINARY_DIR "${CMAKE_BINARY_DIR}/host-packer-training"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release "-DPACKER_PROFILE_GENERATE=${PACK_STUB_PROFILE}"
        "-DPACKER_TRAINING_STUB=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ondrel-stub.exe"
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target profile
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
add_dependencies(host_packer_training ondrel_stub)
ExternalProject_Add(host_packer
    SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/../tools/packer"
    BINARY_DIR "${PACK_STUB_HOST_BUILD}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release "-DPACKER_OUTPUT_DIRECTORY=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
        "-DPACKER_PROFILE_USE=${PACK_STUB_PROFILE}"
        # A link map beside each program the sub-build links (pack-stub.map for the packer): the
        # release's notices are read from what the link took.
        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-Map=${PACK_STUB_HOST_BUILD}"
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${PACK_STUB_PROGRAM}"
    DEPENDS host_packer_training)

function(add_packed_stub name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT;STUB" "ARGS;DEPENDS")
    if(NOT ARG_OUTPUT OR ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR
            "add_packed_stub(${name} OUTPUT <path.exe> [STUB ...] [ARGS ...] [DEPENDS ...])")
    endif()
    if(NOT ARG_STUB)
        set(ARG_STUB ondrel_stub)
    endif()
    get_filename_component(output_directory "${ARG_OUTPUT}" DIRECTORY)
    add_custom_command(OUTPUT "${ARG_OUTPUT}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${output_directory}"
        COMMAND "${PACK_STUB_PROGRAM}" -o "${ARG_OUTPUT}" --stub $<TARGET_FILE:${ARG_STUB}> ${ARG_ARGS}
        DEPENDS host_packer "${PACK_STUB_PROGRAM}" ${ARG_STUB} $<TARGET_FILE:${ARG_STUB}>
            ${ARG_DEPENDS}
        COMMENT "Packing ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS "${ARG_OUTPUT}")
endfunction()

# The packer for those who pack on Windows: the same sources built like the stub, with MinGW-w64,
# into bin/windows/pack-stub.exe. Static, C++ runtime and zlib alike (the same zlib version as
# the host build's), so that it needs no DLL beyond the system's.
include(${CMAKE_CURRENT_LIST_DIR}/../tools/packer/sources.cmake)
find_library(PACKER_WINDOWS_ZLIB NAMES libz.a REQUIRED)
add_library(packer_windows_core STATIC ${PACKER_SOURCES})
target_include_directories(packer_windows_core PUBLIC
    ${CMAKE_CURRENT_LIST_DIR}/../tools/packer ${CMAKE_CURRENT_LIST_DIR}/../src)
target_compile_definitions(packer_windows_core PUBLIC NOMINMAX)
target_link_libraries(packer_windows_core PUBLIC ${PACKER_WINDOWS_ZLIB})
set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/../tools/packer/cli/options.cpp APPEND PROPERTY
    COMPILE_DEFINITIONS "PACKER_VERSION=\"${ONDREL_VERSION}\"")
add_executable(pack_stub_windows ${CMAKE_CURRENT_LIST_DIR}/../tools/packer/cli/main.cpp)
target_link_libraries(pack_stub_windows PRIVATE packer_windows_core)
# Released as it is built: the same sources give the same bytes (no link time in the header), and
# without its symbol table.
target_link_options(pack_stub_windows PRIVATE -s -Wl,--no-insert-timestamp)
# What the link took from each library, for the release's notices.
target_link_options(pack_stub_windows PRIVATE "-Wl,-Map=${CMAKE_BINARY_DIR}/pack-stub-windows.map")
# -municode: the entry is wmain, which receives the command line in UTF-16.
target_link_options(pack_stub_windows PRIVATE -static -municode)
set_target_properties(pack_stub_windows PROPERTIES OUTPUT_NAME pack-stub
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/windows)
# The bare stub beside it, as in a download, so that --stub may be left out there too.
add_dependencies(pack_stub_windows ondrel_stub)
add_custom_command(TARGET pack_stub_windows POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ondrel_stub>
        $<TARGET_FILE_DIR:pack_stub_windows>/ondrel-stub.exe
    VERBATIM)
