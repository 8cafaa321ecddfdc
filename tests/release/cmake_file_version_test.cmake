# SPDX-License-Identifier: Zlib
# OndrelStubCPack's reading of CPACK_PACKAGE_VERSION: the packer's A.B.C.D (missing parts 0, each
# 0-65535) from its leading numbers, and the text itself as ProductVersion when the numbers are
# not all of it or there are none.
#   cmake -D STEPS=cmake/package/OndrelStubSteps.cmake -P cmake_file_version_test.cmake
cmake_minimum_required(VERSION 3.19)
include("${STEPS}")
# version | file version | ProductVersion text
set(cases
    "2.3.1|2.3.1.0|"
    "7|7.0.0.0|"
    "1.2.3.4|1.2.3.4|"
    "0.0.0.0|0.0.0.0|"
    "65535.65535.65535.65535|65535.65535.65535.65535|"
    "007.010|7.10.0.0|"
    "2.1-beta|2.1.0.0|2.1-beta"
    "2.1 beta|2.1.0.0|2.1 beta"
    "1.2.3.4.5|1.2.3.4|1.2.3.4.5"
    "3.0.|3.0.0.0|3.0."
    "65536.1|.|65536.1"
    "1.99999999999999999999|.|1.99999999999999999999"
    "v2.0|.|v2.0"
    "|.|")
set(failures 0)
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 version)
    list(GET fields 1 expected_number)
    list(GET fields 2 expected_text)
    # An empty list item would vanish: "." stands for no file version.
    if(expected_number STREQUAL ".")
        set(expected_number "")
    endif()
    _ondrel_file_version(number text "${version}")
    if(NOT number STREQUAL expected_number OR NOT text STREQUAL expected_text)
        message(SEND_ERROR "\"${version}\" gave \"${number}\" and \"${text}\", not "
            "\"${expected_number}\" and \"${expected_text}\"")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "${failures} case(s) failed")
endif()
