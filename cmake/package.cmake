# The release package, made by CPack: build/windows/release/skelvane-<version>-win32.zip holding
# skelvane.exe and README.txt for Windows users, with SHA256SUMS and BUILDINFO beside it
# (cmake/package_manifest.cmake). The copy in the zip is signed when the environment names a key
# (cmake/sign.cmake); the build's own skelvane.exe stays unsigned, the bytes anyone can rebuild.
#
# Included by windows.cmake, this file adds the install rules, CPack and the target `release`;
# run with `cmake -P` it is that target's command: -DSOURCE_DIR=<source folder>
# -DBUILD_DIR=<build folder> -DCPACK=<cpack program>.

if(CMAKE_SCRIPT_MODE_FILE)
  # Every file in the zip carries the time of the commit, so that the zip is the same bytes
  # wherever and whenever it is made; SOURCE_DATE_EPOCH given from outside wins.
  if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
                    RESULT_VARIABLE result OUTPUT_VARIABLE epoch ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT result EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
      message(FATAL_ERROR
        "release: ${SOURCE_DIR} is no git checkout; set SOURCE_DATE_EPOCH to the commit's time")
    endif()
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
  # A zip holds local times: the same for everyone in UTC.
  set(ENV{TZ} UTC)
  # It also holds the owner's user and group ids (CPack of CMake before 4.3 takes them from the
  # files): 0 and 0 as made by root, or by anyone else under fakeroot.
  set(cpack "${CPACK}")
  execute_process(COMMAND id -u OUTPUT_VARIABLE user OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT user STREQUAL "0")
    find_program(FAKEROOT fakeroot)
    if(FAKEROOT)
      set(cpack "${FAKEROOT}" "${CPACK}")
    else()
      message(WARNING "release: no fakeroot, so the zip records user ${user}; made by root or "
                      "under fakeroot, the same files give other bytes")
    endif()
  endif()
  execute_process(COMMAND ${cpack} --config "${BUILD_DIR}/CPackConfig.cmake"
                  WORKING_DIRECTORY "${BUILD_DIR}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "release: cpack failed")
  endif()
  return()
endif()

# Files at the top of the zip: Windows' "Extract All" already makes a folder named after it.
install(TARGETS skelvane RUNTIME DESTINATION .)
include(${CMAKE_CURRENT_LIST_DIR}/sign.cmake)
skelvane_support_url(SKELVANE_SUPPORT_URL)
configure_file(app/package-readme.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
install(CODE "set(SKELVANE_SIGN_FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/skelvane.exe\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/sign.cmake\")")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME skelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME skelvane-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/release)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_manifest.cmake)
# What BUILDINFO reports: the program as built, and the tools that made it.
set(CPACK_SKELVANE_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_SKELVANE_PROGRAM ${CMAKE_CURRENT_BINARY_DIR}/skelvane.exe)
set(CPACK_SKELVANE_BUILD_TYPE ${CMAKE_BUILD_TYPE})
set(CPACK_SKELVANE_CXX_COMPILER ${CMAKE_CXX_COMPILER})
set(CPACK_SKELVANE_RC_COMPILER ${CMAKE_RC_COMPILER})
set(CPACK_SKELVANE_SYSROOT ${CMAKE_FIND_ROOT_PATH})
set(CPACK_SKELVANE_CMAKE ${CMAKE_COMMAND})
set(CPACK_SKELVANE_CPACK ${CMAKE_CPACK_COMMAND})
set(CPACK_SKELVANE_CPACK_MODULE ${CMAKE_ROOT}/Modules/CPack.cmake)
include(CPack)

add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBUILD_DIR=${CMAKE_BINARY_DIR}
          -DCPACK=${CMAKE_CPACK_COMMAND} -P ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Making the release package"
  VERBATIM)
add_dependencies(release skelvane)
