# SPDX-License-Identifier: Zlib
# CPack's External generator runs this (CPACK_EXTERNAL_PACKAGE_SCRIPT, set by OndrelStubCPack)
# once the install tree is staged in CPACK_TEMPORARY_DIRECTORY: the tree less the setup program
# becomes the archive, the installer is packed and checked in CPACK_TOPLEVEL_DIRECTORY, and CPack
# copies it to its output folder (CPACK_EXTERNAL_BUILT_PACKAGES).

cmake_policy(VERSION 3.19...3.25)

include("${CPACK_ONDREL_STEPS}")
set(what "OndrelStubCPack")

# The setup program: an installed file, which the archive leaves out.
set(staged "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT EXISTS "${staged}/${CPACK_ONDREL_SETUP}" OR IS_DIRECTORY "${staged}/${CPACK_ONDREL_SETUP}")
    _ondrel_fail("${what}" "ONDREL_CPACK_SETUP ${CPACK_ONDREL_SETUP} is not a file the project "
        "installs (looked in ${staged})")
endif()
set(archive "${CPACK_TOPLEVEL_DIRECTORY}/ondrel/product.7z")
set(setup "${staged}/${CPACK_ONDREL_SETUP}")
_ondrel_archive("${what}" "${staged}" "${archive}" SKIP "${CPACK_ONDREL_SETUP}")

# The identity: what the project said of its package, then its own VERSION_INFO, which wins.
_ondrel_file_version(file_version version_text "${CPACK_PACKAGE_VERSION}")
set(file_name "${CPACK_ONDREL_FILE_NAME}")
if(file_name STREQUAL "")
    set(file_name "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-win64")
endif()
set(strings "ProductName=${CPACK_PACKAGE_NAME}" "OriginalFilename=${file_name}.exe")
if(NOT CPACK_ONDREL_COMPANY STREQUAL "")
    list(APPEND strings "CompanyName=${CPACK_ONDREL_COMPANY}")
endif()
if(NOT CPACK_ONDREL_DESCRIPTION STREQUAL "")
    list(APPEND strings "FileDescription=${CPACK_ONDREL_DESCRIPTION}")
endif()
if(NOT version_text STREQUAL "")
    list(APPEND strings "ProductVersion=${version_text}")
endif()
# _ondrel_key(OUT ENTRY): the KEY of KEY=VALUE, in lower case: Windows finds a version string
# whatever the case of its key, so the packer takes keys that differ only in case as one.
function(_ondrel_key out entry)
    string(FIND "${entry}" "=" equals)
    string(SUBSTRING "${entry}" 0 ${equals} key)
    string(TOLOWER "${key}" key)
    set(${out} "${key}" PARENT_SCOPE)
endfunction()
set(own_keys "")
foreach(entry IN LISTS CPACK_ONDREL_VERSION_INFO)
    _ondrel_key(key "${entry}")
    list(APPEND own_keys "${key}")
endforeach()
set(derived "${strings}")
set(strings "")
foreach(entry IN LISTS derived)
    _ondrel_key(key "${entry}")
    if(NOT key IN_LIST own_keys)
        list(APPEND strings "${entry}")
    endif()
endforeach()
list(APPEND strings ${CPACK_ONDREL_VERSION_INFO})

set(options "")
if(NOT file_version STREQUAL "")
    list(APPEND options --file-version "${file_version}")
endif()
foreach(entry IN LISTS strings)
    list(APPEND options --version-info "${entry}")
endforeach()
if(CPACK_ONDREL_ICON)
    list(APPEND options --icon "${CPACK_ONDREL_ICON}")
endif()
if(CPACK_ONDREL_EXECUTION_LEVEL)
    list(APPEND options --execution-level "${CPACK_ONDREL_EXECUTION_LEVEL}")
endif()
list(APPEND options ${CPACK_ONDREL_PACK_OPTIONS})

set(ONDREL_PACKER ${CPACK_ONDREL_PACKER})
set(installer "${CPACK_TOPLEVEL_DIRECTORY}/${file_name}.exe")
_ondrel_pack("${what}" "${installer}" "${CPACK_ONDREL_STUB}" "${archive}" "${setup}" ${options})
set(CPACK_EXTERNAL_BUILT_PACKAGES "${installer}")
