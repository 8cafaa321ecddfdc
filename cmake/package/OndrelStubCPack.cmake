# SPDX-License-Identifier: Zlib
# include(OndrelStubCPack), after find_package(OndrelStub) and in place of include(CPack): `cpack`
# makes an installer from the project's install rules through CPack's External generator.
#
#   set(CPACK_GENERATOR External)
#   set(ONDREL_CPACK_SETUP bin/setup.exe)      # the setup program, inside the install tree
#   include(OndrelStubCPack)
#
# The installed tree, less the setup program, becomes the archive; the installer is
# CPACK_PACKAGE_DIRECTORY (or the build folder)/ONDREL_CPACK_FILE_NAME.exe. Its identity comes
# from CPack's variables (see OndrelStubCPackage.cmake): ProductName from CPACK_PACKAGE_NAME,
# CompanyName from CPACK_PACKAGE_VENDOR, FileDescription from CPACK_PACKAGE_DESCRIPTION_SUMMARY
# (each only when the project set it), the file version from CPACK_PACKAGE_VERSION.
# Optional: ONDREL_CPACK_FILE_NAME (default NAME-VERSION-win64), ONDREL_CPACK_VERSION_INFO
# (KEY=VALUE items, which win over the ones above), ONDREL_CPACK_ICON, ONDREL_CPACK_EXECUTION_LEVEL,
# ONDREL_CPACK_PACK_OPTIONS (passed to the packer as they are: signing).
cmake_policy(VERSION 3.19...3.25)

if(NOT DEFINED OndrelStub_PACKER)
    message(FATAL_ERROR "include(OndrelStubCPack) needs find_package(OndrelStub) first")
endif()
if(CPack_CMake_INCLUDED)
    message(FATAL_ERROR "include(OndrelStubCPack) in place of include(CPack), not after it: CPack "
        "has already written its configuration")
endif()
if(NOT "External" IN_LIST CPACK_GENERATOR)
    message(FATAL_ERROR "include(OndrelStubCPack): CPACK_GENERATOR (\"${CPACK_GENERATOR}\") "
        "lacks External, the generator that makes the installer")
endif()
if(NOT ONDREL_CPACK_SETUP)
    message(FATAL_ERROR "include(OndrelStubCPack): set ONDREL_CPACK_SETUP to the setup "
        "program's path inside the install tree (for example bin/setup.exe)")
endif()
if(IS_ABSOLUTE "${ONDREL_CPACK_SETUP}")
    message(FATAL_ERROR "include(OndrelStubCPack): ONDREL_CPACK_SETUP ${ONDREL_CPACK_SETUP} is "
        "absolute: give its path inside the install tree (for example bin/setup.exe)")
endif()

set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/OndrelStubCPackage.cmake")
# CPack hands only CPACK_ variables to the package script.
set(CPACK_ONDREL_STEPS "${CMAKE_CURRENT_LIST_DIR}/OndrelStubSteps.cmake")
set(CPACK_ONDREL_PACKER ${OndrelStub_PACKER})
set(CPACK_ONDREL_STUB "${OndrelStub_STUB}")
set(CPACK_ONDREL_SETUP "${ONDREL_CPACK_SETUP}")
set(CPACK_ONDREL_PACK_OPTIONS ${ONDREL_CPACK_PACK_OPTIONS})
set(CPACK_ONDREL_FILE_NAME "${ONDREL_CPACK_FILE_NAME}")
set(CPACK_ONDREL_VERSION_INFO ${ONDREL_CPACK_VERSION_INFO})
set(CPACK_ONDREL_EXECUTION_LEVEL "${ONDREL_CPACK_EXECUTION_LEVEL}")
set(CPACK_ONDREL_ICON "")
if(ONDREL_CPACK_ICON)
    get_filename_component(CPACK_ONDREL_ICON "${ONDREL_CPACK_ICON}" ABSOLUTE
        BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
endif()
# CPack gives the vendor and summary defaults of its own ("Humanity", "NAME built using CMake"),
# which no installer should show: these are taken only when the project set them.
set(CPACK_ONDREL_COMPANY "")
if(DEFINED CPACK_PACKAGE_VENDOR)
    set(CPACK_ONDREL_COMPANY "${CPACK_PACKAGE_VENDOR}")
endif()
set(CPACK_ONDREL_DESCRIPTION "")
if(DEFINED CPACK_PACKAGE_DESCRIPTION_SUMMARY)
    set(CPACK_ONDREL_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}")
elseif(CMAKE_PROJECT_DESCRIPTION)
    set(CPACK_ONDREL_DESCRIPTION "${CMAKE_PROJECT_DESCRIPTION}")
endif()

include(CPack)
