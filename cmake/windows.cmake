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
  platform/windows/lean_runtime.cpp
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
target_link_libraries(skelvane PRIVATE crypt32 winhttp ws2_32 version advapi32 shell32 ntdll)

# The package holds the product, the i686 build; the x86_64 one only plays the tests under wine64.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  include(cmake/package.cmake)
endif()
