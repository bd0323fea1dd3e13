# The Windows unit-test programs: GoogleTest built from Debian's sources with this toolchain, the
# product code in a DLL of its own (compiled as the product is, plus the stack protector and
# trapping bounds checks), and one test program per source folder, each run under Wine by ctest
# in a fresh copy of a template prefix (the launcher, tests/support/windows/run_under_wine.sh).
#
# The product code lives in a DLL so that the fault layer and the guarded heap patch that DLL's
# import table alone: calls made by GoogleTest and by the tests' own set-up go through the
# program's table and are neither failed nor counted.

set(GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${GTEST_SOURCE_DIR}/src/gtest-all.cc)
  message(FATAL_ERROR "GoogleTest's sources are not in ${GTEST_SOURCE_DIR} (googletest package)")
endif()

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Debug CACHE STRING "Build type" FORCE)
endif()
option(SKELVANE_COVERAGE "Windows test build: measure the product's coverage with gcov" OFF)

add_library(gtest STATIC ${GTEST_SOURCE_DIR}/src/gtest-all.cc)
target_include_directories(gtest SYSTEM PUBLIC ${GTEST_SOURCE_DIR}/include
                           PRIVATE ${GTEST_SOURCE_DIR})

set(SKELVANE_WINDOWS_DEFINITIONS UNICODE _UNICODE _WIN32_WINNT=0x0601 WINVER=0x0601)
# What catches a memory fault in the code under test besides the guarded heap: stack canaries,
# and bounds checks that trap (mingw's GCC has no address sanitizer).
set(SKELVANE_CHECKS -fstack-protector-strong -fsanitize=undefined,bounds-strict
    -fsanitize-undefined-trap-on-error -D_GLIBCXX_ASSERTIONS)

# The product's runtime hooks (new, delete, the library's throw helpers) serve the DLL alone: kept
# in an archive of their own, they are not exported to the test program, which has exceptions.
add_library(lean_runtime STATIC platform/windows/lean_runtime.cpp)
target_compile_options(lean_runtime PRIVATE ${SKELVANE_WARNINGS} -fno-exceptions -fno-rtti)

# The product's objects, compiled once, and the DLL that exports their own functions and data.
add_library(product_objects OBJECT ${SKELVANE_TOOL_SOURCES} ${SKELVANE_GENERATED_SOURCES}
  ${SKELVANE_PLATFORM_SOURCES})
target_include_directories(product_objects PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
target_compile_definitions(product_objects PUBLIC ${SKELVANE_WINDOWS_DEFINITIONS})
target_compile_options(product_objects PRIVATE ${SKELVANE_WARNINGS} ${SKELVANE_CHECKS}
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-asynchronous-unwind-tables -fno-rtti
  -fno-threadsafe-statics>)
if(SKELVANE_COVERAGE)
  target_compile_options(product_objects PRIVATE --coverage)
endif()

find_program(SKELVANE_OBJDUMP ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump REQUIRED)
set(SKELVANE_EXPORTS ${CMAKE_CURRENT_BINARY_DIR}/skelvane_under_test.def)
add_custom_command(
  OUTPUT ${SKELVANE_EXPORTS}
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/support/windows/export_list.py ${SKELVANE_OBJDUMP}
          ${SKELVANE_EXPORTS} $<TARGET_OBJECTS:product_objects>
  DEPENDS $<TARGET_OBJECTS:product_objects> ${CMAKE_SOURCE_DIR}/tests/support/windows/export_list.py
  COMMAND_EXPAND_LISTS
  COMMENT "Listing the exports of the code under test")

add_library(skelvane_under_test SHARED $<TARGET_OBJECTS:product_objects> ${SKELVANE_EXPORTS})
target_include_directories(skelvane_under_test PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
target_compile_definitions(skelvane_under_test PUBLIC ${SKELVANE_WINDOWS_DEFINITIONS})
if(SKELVANE_COVERAGE)
  target_link_options(skelvane_under_test PRIVATE --coverage)
endif()
target_link_options(skelvane_under_test PRIVATE -static -static-libgcc -static-libstdc++)
# Unlike skelvane.exe, which delay-loads crypt32, winhttp, version and shell32, this DLL imports
# them the ordinary way: the fault layer patches its import table, and it is never shipped.
target_link_libraries(skelvane_under_test PRIVATE lean_runtime crypt32 winhttp ws2_32 version
                      advapi32 shell32 ntdll ssp)
set_target_properties(skelvane_under_test PROPERTIES PREFIX "")

add_library(windows_test_support STATIC ${SKELVANE_WINDOWS_TEST_SUPPORT})
target_include_directories(windows_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(windows_test_support PRIVATE ${SKELVANE_WARNINGS})
target_link_libraries(windows_test_support PUBLIC skelvane_under_test gtest)

enable_testing()
# Each program runs on each Windows its build can meet: the i686 programs on 32-bit Windows and
# on 64-bit Windows (WoW64, where most users run the tool), the x86_64 ones (for a machine that
# cannot execute 32-bit code) on 64-bit Windows. A leg: its name and its prefix's kind.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SKELVANE_WINE_LEGS win32 wow64)
else()
  set(SKELVANE_WINE_LEGS win64)
endif()
set(SKELVANE_WINE_KIND_win32 win32)
set(SKELVANE_WINE_KIND_wow64 win64)
set(SKELVANE_WINE_KIND_win64 win64)
# ctest starts each test program through the launcher, in a fresh copy of the template prefix
# of the test's kind; the fixture wine_template_<kind> makes the template once per ctest run
# (test.sh's build/CTestTestfile.cmake; run alone, the launcher makes it on first use).
set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_SOURCE_DIR}/tests/support/windows/run_under_wine.sh
    test)

# The folders whose program runs in the network lab, with a TLS server for the service's name.
set(SKELVANE_WINE_NETLAB_FOLDERS net)

# One program per folder: the support's own tests, then each folder whose tests run here.
foreach(folder support/windows ${SKELVANE_WINDOWS_TEST_FOLDERS})
  string(REPLACE "/" "_" name "${folder}")
  # A folder's fixtures are its other sources; the support folder's are in the library already.
  if(folder STREQUAL "support/windows")
    file(GLOB sources CONFIGURE_DEPENDS tests/${folder}/*_test.cpp)
  else()
    file(GLOB sources CONFIGURE_DEPENDS tests/${folder}/*.cpp)
  endif()
  if(NOT sources)
    continue()
  endif()
  add_executable(unit_tests_${name} ${sources})
  target_compile_options(unit_tests_${name} PRIVATE ${SKELVANE_WARNINGS})
  target_compile_definitions(unit_tests_${name} PRIVATE
    SKELVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    SKELVANE_VERSION="${PROJECT_VERSION}")
  # The support library holds main(); the whole archive keeps its registration objects. The
  # tests' own set-up may call the platform's libraries too (certificates, socket addresses).
  target_link_libraries(unit_tests_${name} PRIVATE
    -Wl,--whole-archive windows_test_support -Wl,--no-whole-archive skelvane_under_test gtest
    # A test's own set-up calls the platform too (stores, keys), through the program's table.
    crypt32 winhttp ws2_32 version advapi32 shell32 ntdll)
  target_link_options(unit_tests_${name} PRIVATE -static)
  foreach(leg IN LISTS SKELVANE_WINE_LEGS)
    set(kind ${SKELVANE_WINE_KIND_${leg}})
    set(environment SKELVANE_WINE_KIND=${kind})
    if(folder IN_LIST SKELVANE_WINE_NETLAB_FOLDERS)
      list(APPEND environment SKELVANE_WINE_NETLAB=1)
    endif()
    add_test(NAME unit_${name}_${leg} COMMAND unit_tests_${name}
             WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(unit_${name}_${leg} PROPERTIES ENVIRONMENT "${environment}"
                         FIXTURES_REQUIRED wine_template_${kind} TIMEOUT 300
                         LABELS "unit;${leg}")
  endforeach()
endforeach()
