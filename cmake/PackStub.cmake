# Packed stubs at build time, through tools/pack-stub.
#
#   write_pack_stub_recipe(<stub target> <object library> <resource file>)
#     Writes <build>/pack-stub.recipe, from which tools/pack-stub learns how the bare stub is
#     linked: compiler, link options and libraries of <stub target>, the objects of
#     <object library>, the resource compiler and the compiled resources (.res) every stub
#     carries. Called once, where the bare stub is defined.
#
#   add_packed_stub(<target> OUTPUT <path.exe> [ARGS <pack-stub arguments>...]
#                   [DEPENDS <files or targets>...])
#     Builds <path.exe> with `tools/pack-stub -o <path.exe> <ARGS>` as part of the default build
#     target <target>. It is packed again when the stub's objects or resources, the recipe,
#     tools/pack-stub or anything in DEPENDS changes; list the payload files (and the targets
#     that make them) there. ARGS cannot carry an empty string: CMake drops empty list items.

get_filename_component(PACK_STUB_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/../tools/pack-stub" ABSOLUTE)
set(PACK_STUB_RECIPE "${CMAKE_BINARY_DIR}/pack-stub.recipe")

function(write_pack_stub_recipe stub_target object_library resource_file)
    # One "key=value" per line; repeated keys build lists. Read line by line, never sourced, so
    # paths with spaces or shell characters are safe.
    file(GENERATE OUTPUT "${PACK_STUB_RECIPE}" CONTENT
"# Written by CMake (cmake/PackStub.cmake) for tools/pack-stub: how the bare stub is linked.
compiler=${CMAKE_CXX_COMPILER}
windres=${CMAKE_RC_COMPILER}
resources=${resource_file}
link-option=$<JOIN:$<TARGET_PROPERTY:${stub_target},LINK_OPTIONS>,\nlink-option=>
object=$<JOIN:$<TARGET_OBJECTS:${object_library}>,\nobject=>
library=$<JOIN:$<TARGET_PROPERTY:${stub_target},LINK_LIBRARIES>,\nlibrary=>
")
    set_property(GLOBAL PROPERTY PACK_STUB_BASE
        "${stub_target};${object_library};${resource_file}")
endfunction()

function(add_packed_stub name)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT" "ARGS;DEPENDS")
    if(NOT ARG_OUTPUT OR ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "add_packed_stub(${name} OUTPUT <path.exe> [ARGS ...] [DEPENDS ...])")
    endif()
    get_property(base GLOBAL PROPERTY PACK_STUB_BASE)
    if(NOT base)
        message(FATAL_ERROR "add_packed_stub: the bare stub has not been defined yet")
    endif()
    list(GET base 0 stub_target)
    list(GET base 1 object_library)
    list(GET base 2 resource_file)
    get_filename_component(output_directory "${ARG_OUTPUT}" DIRECTORY)
    add_custom_command(OUTPUT "${ARG_OUTPUT}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${output_directory}"
        COMMAND ${CMAKE_COMMAND} -E env "PACK_STUB_BUILD_DIR=${CMAKE_BINARY_DIR}"
            bash "${PACK_STUB_SCRIPT}" -o "${ARG_OUTPUT}" ${ARG_ARGS}
        DEPENDS "${PACK_STUB_SCRIPT}" "${PACK_STUB_RECIPE}" "${resource_file}" ${stub_target}
            $<TARGET_OBJECTS:${object_library}> ${ARG_DEPENDS}
        COMMENT "Packing ${ARG_OUTPUT}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS "${ARG_OUTPUT}")
endfunction()
