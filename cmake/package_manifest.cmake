# Run by CPack once the zip is made, while it is still in CPack's own folder: writes SHA256SUMS
# and BUILDINFO where the zip goes (CPACK_PACKAGE_DIRECTORY). BUILDINFO names
# the commit, its time and the exact versions of the tools that made skelvane.exe, so that anyone
# can rebuild the same bytes and compare.

# The first line a tool prints for --version.
function(tool_version out program)
  execute_process(COMMAND "${program}" --version OUTPUT_VARIABLE text ERROR_QUIET)
  string(REGEX REPLACE "\n.*" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(compiler_path out what name)
  execute_process(COMMAND "${CPACK_SKELVANE_CXX_COMPILER}" ${what}=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# The libraries a program loads whose name matches the pattern (libarchive and zlib make the zip).
function(loaded_libraries out program pattern)
  execute_process(COMMAND ldd "${program}" OUTPUT_VARIABLE text ERROR_QUIET)
  string(REGEX MATCHALL "=> [^ ]+" found "${text}")
  set(paths)
  foreach(entry IN LISTS found)
    string(REPLACE "=> " "" path "${entry}")
    if(path MATCHES "${pattern}")
      list(APPEND paths "${path}")
    endif()
  endforeach()
  set(${out} "${paths}" PARENT_SCOPE)
endfunction()

# "package version architecture" of each Debian package that owns one of the files, in name order;
# empty where the machine has no dpkg.
function(owning_packages out)
  set(packages)
  foreach(path IN LISTS ARGN)
    file(REAL_PATH "${path}" real)
    foreach(candidate "${real}" "${path}")
      execute_process(COMMAND dpkg-query -S "${candidate}" OUTPUT_VARIABLE owner ERROR_QUIET
                      RESULT_VARIABLE result)
      if(result EQUAL 0)
        string(REGEX REPLACE ": .*" "" owner "${owner}")  # "zlib1g:amd64: /usr/lib/..."
        list(APPEND packages ${owner})
        break()
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES packages)
  list(SORT packages)
  set(lines)
  foreach(package IN LISTS packages)
    execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version} \${Architecture}"
                            ${package}
                    OUTPUT_VARIABLE line ERROR_QUIET)
    list(APPEND lines "${line}")
  endforeach()
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

function(source_description out)
  set(source "${CPACK_SKELVANE_SOURCE_DIR}")
  execute_process(COMMAND git -C "${source}" rev-parse HEAD OUTPUT_VARIABLE commit
                  RESULT_VARIABLE result ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    set(${out} "not a git checkout" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND git -C "${source}" status --porcelain OUTPUT_VARIABLE changes
                  ERROR_QUIET)
  if(changes STREQUAL "")
    set(${out} "git commit ${commit}" PARENT_SCOPE)
  else()
    set(${out} "git commit ${commit}, with changes not committed" PARENT_SCOPE)
  endif()
endfunction()

list(GET CPACK_PACKAGE_FILES 0 package)
set(package_dir "${CPACK_PACKAGE_DIRECTORY}")
get_filename_component(package_name "${package}" NAME)

file(SHA256 "${package}" package_digest)
file(WRITE "${package_dir}/SHA256SUMS" "${package_digest}  ${package_name}\n")

include("${CMAKE_CURRENT_LIST_DIR}/sign.cmake")
file(SHA256 "${CPACK_SKELVANE_PROGRAM}" program_digest)
skelvane_signing_key_named(signed)
if(signed)
  set(packaged "signed; `osslsigncode remove-signature` gives back the bytes built")
else()
  set(packaged "the bytes built, unsigned")
endif()
source_description(source)
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  string(TIMESTAMP time "%Y-%m-%d %H:%M:%S UTC" UTC)
  set(time "${time} (SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}), every file's time in the zip")
else()
  set(time "not given: the files in the zip carry the time they were made")
endif()

compiler_path(cc1plus -print-prog-name cc1plus)
compiler_path(assembler -print-prog-name as)
compiler_path(linker -print-prog-name ld)
compiler_path(libstdcxx -print-file-name libstdc++.a)
compiler_path(libgcc -print-file-name libgcc.a)
compiler_path(crt -print-file-name crt2.o)
loaded_libraries(zip_libraries "${CPACK_SKELVANE_CPACK}" "libarchive|libz\\.")
owning_packages(packages "${CPACK_SKELVANE_CXX_COMPILER}" "${cc1plus}" "${assembler}"
                "${linker}" "${CPACK_SKELVANE_RC_COMPILER}" "${libstdcxx}" "${libgcc}" "${crt}"
                "${CPACK_SKELVANE_SYSROOT}/include/windows.h" "${CPACK_SKELVANE_CMAKE}"
                "${CPACK_SKELVANE_CPACK}" "${CPACK_SKELVANE_CPACK_MODULE}" ${zip_libraries})
if(packages)
  list(JOIN packages "\n  " packages)
else()
  set(packages "(no dpkg on this machine)")
endif()
tool_version(compiler_version "${CPACK_SKELVANE_CXX_COMPILER}")
tool_version(linker_version "${linker}")
tool_version(rc_version "${CPACK_SKELVANE_RC_COMPILER}")
tool_version(cmake_version "${CPACK_SKELVANE_CMAKE}")

file(WRITE "${package_dir}/BUILDINFO" "\
Skelvane ${CPACK_PACKAGE_VERSION}: ${package_name}

Source:        ${source}
Commit time:   ${time}
Rebuild:       ./release.sh at that commit with the packages below (toolchain
               cmake/mingw-i686.cmake, ${CPACK_SKELVANE_BUILD_TYPE}); build/windows/skelvane.exe
               is then the same bytes
skelvane.exe:  sha256 ${program_digest} as built
In the zip:    ${packaged}

Packages that made skelvane.exe and the zip (Debian):
  ${packages}

Tool versions:
  ${compiler_version}
  ${linker_version}
  ${rc_version}
  ${cmake_version}
")
message(STATUS "Wrote ${package_dir}/SHA256SUMS and BUILDINFO")
