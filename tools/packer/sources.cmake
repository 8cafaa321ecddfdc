# SPDX-License-Identifier: Zlib
# The packer's sources, for the host build here and for the Windows build in the main project.
set(PACKER_SOURCES
    byte_stream.cpp
    cabinet.cpp
    huffman_code.cpp
    file_stream.cpp
    input_file.cpp
    layout_check.cpp
    lzx_encoder.cpp
    lzx_match_finder.cpp
    messages.cpp
    native_path.cpp
    output_file.cpp
    packed_image.cpp
    pe_image.cpp
    progress.cpp
    resource_id.cpp
    resources.cpp
    signing.cpp
)
if(WIN32)
    list(APPEND PACKER_SOURCES output_file_windows.cpp signing_windows.cpp)
else()
    list(APPEND PACKER_SOURCES signing_posix.cpp)
endif()
list(TRANSFORM PACKER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
