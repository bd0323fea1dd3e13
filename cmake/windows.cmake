# The real product: skelvane.exe, i686, console subsystem, wmain, linked statically so that a
# clean Windows machine needs only its own system DLLs.
enable_language(RC)

# The product is built small and without symbols unless another build type is asked for.
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "Build type" FORCE)
endif()

configure_file(app/skelvane.rc.in ${CMAKE_CURRENT_BINARY_DIR}/skelvane.rc @ONLY)
configure_file(app/skelvane.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/skelvane.manifest @ONLY)

add_executable(skelvane
  app/main.cpp
  ${SKELVANE_TOOL_SOURCES}
  ${SKELVANE_GENERATED_SOURCES}
  ${SKELVANE_PLATFORM_SOURCES}
  platform/windows/lean_runtime.cpp
  platform/windows/system_dlls.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/skelvane.rc)
target_include_directories(skelvane PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
# Windows 7 SDK level; older systems only miss calls the tool looks up at run time.
target_compile_definitions(skelvane PRIVATE UNICODE _UNICODE _WIN32_WINNT=0x0601 WINVER=0x0601)
# No exceptions, unwind tables, RTTI or thread-safe statics (one thread, nothing caught), and each
# function in a section of its own so that the linker drops what is never called; see
# platform/windows/lean_runtime.cpp.
target_compile_options(skelvane PRIVATE ${SKELVANE_WARNINGS}
  $<$<COMPILE_LANGUAGE:CXX>:-municode -fno-exceptions -fno-asynchronous-unwind-tables -fno-rtti
  -fno-threadsafe-statics -ffunction-sections -fdata-sections>)
# Two builds of the same commit give the same bytes wherever they run: no source or build folder
# in the image (__FILE__, debug paths) and no link time in the PE header.
target_compile_options(skelvane PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)
# The linker map (skelvane.map in the build folder) shows what each library adds to the image.
target_link_options(skelvane PRIVATE -municode -static -static-libgcc -static-libstdc++
  -Wl,--no-insert-timestamp
  -Wl,--gc-sections -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/skelvane.map
  $<$<CONFIG:MinSizeRel,Release>:-s>)

# crypt32, winhttp and version are no KnownDLLs, so Windows would look for them in the program's
# folder first: the program imports them through delay-load libraries instead, and
# platform/windows/system_dlls.cpp loads each from the system folder on its first call, after it
# has limited every later search by name to that folder where Windows can. shell32 is a KnownDLL
# but is delay-loaded too: the DLLs a program imports are loaded, with their own imports, before
# any of its code runs, and Wine's user32, which shell32 imports, imports version.dll by name.
# What stays imported at start (kernel32, advapi32, msvcrt, ws2_32, ntdll) are KnownDLLs.
set(SKELVANE_DELAY_LOADED crypt32 winhttp version shell32)
find_program(SKELVANE_NM ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-nm REQUIRED)
find_program(SKELVANE_DLLTOOL ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
set(SKELVANE_DELAY_LIBRARIES)
foreach(dll IN LISTS SKELVANE_DELAY_LOADED)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=lib${dll}.a
                  OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE)
  # Made in the build folder under a relative name: dlltool names its symbols after the output.
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/lib${dll}_delay.a
    COMMAND ${CMAKE_COMMAND} -DNM=${SKELVANE_NM} -DDLLTOOL=${SKELVANE_DLLTOOL}
            -DIMPORT_LIBRARY=${import_library} -DDLL=${dll} -DOUTPUT=lib${dll}_delay.a
            -DPOINTER_SIZE=${CMAKE_SIZEOF_VOID_P} -P ${CMAKE_SOURCE_DIR}/cmake/delay_import_lib.cmake
    DEPENDS ${import_library} ${CMAKE_SOURCE_DIR}/cmake/delay_import_lib.cmake
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    COMMENT "Making the delay-load import library of ${dll}")
  list(APPEND SKELVANE_DELAY_LIBRARIES ${CMAKE_CURRENT_BINARY_DIR}/lib${dll}_delay.a)
endforeach()
add_custom_target(delay_import_libraries DEPENDS ${SKELVANE_DELAY_LIBRARIES})
add_dependencies(skelvane delay_import_libraries)
set_property(TARGET skelvane APPEND PROPERTY LINK_DEPENDS ${SKELVANE_DELAY_LIBRARIES}
                                                     ${CMAKE_SOURCE_DIR}/cmake/delay_imports.py)
target_link_libraries(skelvane PRIVATE ${SKELVANE_DELAY_LIBRARIES} ws2_32 advapi32 ntdll)
# wincrypt.h and shlobj.h declare crypt32's and shell32's functions dllimport, so calls go
# straight through the address table and nothing references the delay thunks: --gc-sections then
# drops them and leaves their table entries zero (binutils 2.40). Declared plainly (WINIMPM is
# wincrypt.h's alone; _SHELL32_ makes shlobj.h declare as for shell32's own build), as winhttp.h
# and winver.h declare theirs, the calls go through the thunks, which are kept.
# delay_imports.py fails the build on an entry left zero.
target_compile_definitions(skelvane PRIVATE WINIMPM= _SHELL32_)
# The closing entry of the delay descriptors is referenced by nothing: kept by name (C names
# carry an underscore on i686).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(skelvane PRIVATE -Wl,--undefined=_skelvaneDelayImportsEnd)
else()
  target_link_options(skelvane PRIVATE -Wl,--undefined=skelvaneDelayImportsEnd)
endif()
add_custom_command(TARGET skelvane POST_BUILD
  COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/delay_imports.py fill $<TARGET_FILE:skelvane>
          ${CMAKE_CURRENT_BINARY_DIR}/skelvane.map
  COMMENT "Writing the Delay Import Directory of skelvane.exe")

# The package holds the product, the i686 build; the x86_64 one only plays the tests under wine64.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  include(cmake/package.cmake)
endif()

# The product's checks and the end-to-end scenarios as ctest tests (test.sh turns them on).
option(SKELVANE_TESTS "Product build: its checks and the end-to-end scenarios as ctest tests" OFF)
if(SKELVANE_TESTS)
  include(cmake/product_tests.cmake)
endif()
