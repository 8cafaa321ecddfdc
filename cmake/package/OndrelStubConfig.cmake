# SPDX-License-Identifier: Zlib
# find_package(OndrelStub CONFIG REQUIRED), with CMAKE_PREFIX_PATH (or OndrelStub_DIR) naming an
# unpacked release bundle: its packer and bare stub, found from this file's own place in the
# bundle (lib/cmake/OndrelStub/), ondrel_add_installer() and include(OndrelStubCPack).
#
# Sets OndrelStub_PACKER (the command that runs the packer: the launcher, if any, then the
# program) and OndrelStub_STUB (the bare stub). Cache variables a build may set:
#   ONDREL_STUB_PACKER           the packer to run (default: the bundle's pack-stub, or
#                                pack-stub.exe in a bundle that holds only that)
#   ONDREL_STUB_PACKER_LAUNCHER  what runs it, for example wine: pack-stub.exe on a machine that
#                                is not Windows
#   ONDREL_STUB_STUB             the bare stub to pack (default: the bundle's ondrel-stub.exe)
cmake_policy(VERSION 3.19...3.25)

get_filename_component(_ondrel_bundle "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
# Not cached: a build that is pointed at another bundle later takes that bundle's programs.
if(NOT DEFINED ONDREL_STUB_PACKER)
    if(CMAKE_HOST_WIN32 OR NOT EXISTS "${_ondrel_bundle}/pack-stub")
        set(ONDREL_STUB_PACKER "${_ondrel_bundle}/pack-stub.exe")
    else()
        set(ONDREL_STUB_PACKER "${_ondrel_bundle}/pack-stub")
    endif()
endif()
if(NOT DEFINED ONDREL_STUB_STUB)
    set(ONDREL_STUB_STUB "${_ondrel_bundle}/ondrel-stub.exe")
endif()

set(OndrelStub_FOUND TRUE)
foreach(_ondrel_file IN ITEMS "${ONDREL_STUB_PACKER}" "${ONDREL_STUB_STUB}")
    if(NOT EXISTS "${_ondrel_file}")
        set(OndrelStub_FOUND FALSE)
        set(OndrelStub_NOT_FOUND_MESSAGE "${_ondrel_file} does not exist")
    endif()
endforeach()
unset(_ondrel_file)
if(OndrelStub_FOUND AND NOT CMAKE_HOST_WIN32 AND ONDREL_STUB_PACKER MATCHES "\\.exe$"
    AND NOT ONDREL_STUB_PACKER_LAUNCHER)
    set(OndrelStub_FOUND FALSE)
    set(OndrelStub_NOT_FOUND_MESSAGE "${ONDREL_STUB_PACKER} is a Windows program: on this system "
        "unpack the Linux bundle, or set ONDREL_STUB_PACKER_LAUNCHER to what runs it (wine)")
endif()
set(OndrelStub_PACKER ${ONDREL_STUB_PACKER_LAUNCHER} "${ONDREL_STUB_PACKER}")
set(OndrelStub_STUB "${ONDREL_STUB_STUB}")

# include(OndrelStubCPack) finds its module here.
if(NOT CMAKE_CURRENT_LIST_DIR IN_LIST CMAKE_MODULE_PATH)
    list(APPEND CMAKE_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/OndrelStubFunctions.cmake")
