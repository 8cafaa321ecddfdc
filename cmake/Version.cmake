# SPDX-License-Identifier: Zlib
# The release's version, from the VERSION file at the repository root: the one place it is set.
# Both the stub's version block and the packer's --version take it from here.
#   ONDREL_VERSION        MAJOR.MINOR.PATCH, as in VERSION
#   ONDREL_VERSION_COMMAS MAJOR,MINOR,PATCH,0 (a Windows file version has four parts)
#   ONDREL_VERSION_TEXT   MAJOR.MINOR.PATCH.0
get_filename_component(ONDREL_VERSION_FILE "${CMAKE_CURRENT_LIST_DIR}/../VERSION" ABSOLUTE)
file(STRINGS "${ONDREL_VERSION_FILE}" ONDREL_VERSION LIMIT_COUNT 1)
if(NOT ONDREL_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "${ONDREL_VERSION_FILE}: \"${ONDREL_VERSION}\" is not MAJOR.MINOR.PATCH")
endif()
foreach(part IN ITEMS "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" "${CMAKE_MATCH_3}")
    # Each part is a 16-bit field of the version block.
    if(part GREATER 65535)
        message(FATAL_ERROR "${ONDREL_VERSION_FILE}: ${part} does not fit a version block's 16 bits")
    endif()
endforeach()
set(ONDREL_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")
set(ONDREL_VERSION_TEXT "${ONDREL_VERSION}.0")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ONDREL_VERSION_FILE}")
