# SPDX-License-Identifier: Zlib
# The packer's sources, for the host build here and for the Windows build in the main project.
set(PACKER_SOURCES
    base/byte_stream.cpp
    base/messages.cpp
    base/progress.cpp
    cabinet/cabinet.cpp
    cli/check_command.cpp
    cli/options.cpp
    cli/pack_command.cpp
    layout/layout_check.cpp
    lzx/huffman_code.cpp
    lzx/lzx_binary_trees.cpp
    lzx/lzx_blocks.cpp
    lzx/lzx_encoder.cpp
    lzx/lzx_hash_chains.cpp
    lzx/lzx_lazy_parser.cpp
    lzx/lzx_memory.cpp
    lzx/lzx_optimal_parser.cpp
    mszip/mszip_encoder.cpp
    pe/authenticode.cpp
    pe/der.cpp
    pe/icon_file.cpp
    pe/manifest.cpp
    pe/packed_image.cpp
    pe/pe_image.cpp
    pe/product_identity.cpp
    pe/resource_id.cpp
    pe/resources.cpp
    pe/signed_image.cpp
    pe/version_block.cpp
    platform/file_stream.cpp
    platform/input_file.cpp
    platform/native_path.cpp
    platform/output_file.cpp
    platform/signing.cpp
)
if(WIN32)
    list(APPEND PACKER_SOURCES platform/crypto_windows.cpp platform/output_file_windows.cpp
        platform/signing_windows.cpp)
else()
    list(APPEND PACKER_SOURCES platform/crypto_openssl.cpp platform/output_file_posix.cpp
        platform/signing_posix.cpp)
endif()
list(TRANSFORM PACKER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
