# SPDX-License-Identifier: Zlib
# Fails when a folder of the packer includes a header from a folder above it, so that the folders
# keep depending one way: base <- platform <- lzx, mszip <- cabinet <- pe <- layout <- cli, with
# the shared payload layout (src/payload) below them all. A folder may use its own headers and
# those of any lower level, never a sibling's (lzx and mszip stand apart) nor a higher one's.
#   cmake -DPACKER_DIR=<tools/packer> -P folder_order.cmake
if(NOT PACKER_DIR)
    message(FATAL_ERROR "usage: cmake -DPACKER_DIR=<tools/packer> -P folder_order.cmake")
endif()

set(level_payload 0)
set(level_base 1)
set(level_platform 2)
set(level_lzx 3)
set(level_mszip 3)
set(level_cabinet 4)
set(level_pe 5)
set(level_layout 6)
set(level_cli 7)

file(GLOB sources RELATIVE ${PACKER_DIR} ${PACKER_DIR}/*/*.h ${PACKER_DIR}/*/*.cpp
    ${PACKER_DIR}/*/*.inc)
set(checked 0)
set(faults "")
foreach(source IN LISTS sources)
    string(REGEX REPLACE "/.*" "" folder "${source}")
    if(NOT DEFINED level_${folder})
        list(APPEND faults "${source}: folder ${folder} has no place in the order")
        continue()
    endif()
    file(STRINGS ${PACKER_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" header "${line}")
        if(NOT header MATCHES "/")
            list(APPEND faults "${source}: \"${header}\" names no folder")
            continue()
        endif()
        string(REGEX REPLACE "/.*" "" used "${header}")
        math(EXPR checked "${checked} + 1")
        if(used STREQUAL folder)
            continue()
        elseif(NOT DEFINED level_${used})
            list(APPEND faults "${source}: ${header} is from a folder outside the order")
        elseif(NOT level_${used} LESS level_${folder})
            list(APPEND faults "${source}: ${header} is not below ${folder}/")
        endif()
    endforeach()
endforeach()

# A glob that found nothing would pass whatever the folders do.
if(checked EQUAL 0)
    message(FATAL_ERROR "no includes found under ${PACKER_DIR}")
endif()
if(faults)
    list(JOIN faults "\n  " text)
    message(FATAL_ERROR "folders included against their order:\n  ${text}")
endif()
message(STATUS "${checked} includes in order")
