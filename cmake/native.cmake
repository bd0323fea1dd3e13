# The native build: only the code that makes no platform call (the report's formatter, the log
# name, the certificate-list walker, the probe's reply text, the hosts search), with its unit tests
# in tests/pure and, with SKELVANE_FUZZ, its fuzz targets. Everything that calls Windows is tested
# as a Windows program under Wine (cmake/windows_tests.cmake).
find_package(GTest REQUIRED)

if(SKELVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(skelvane_pure STATIC ${SKELVANE_PURE_SOURCES})
target_include_directories(skelvane_pure PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(skelvane_pure PRIVATE ${SKELVANE_WARNINGS})

enable_testing()
# The fuzz build (SKELVANE_FUZZ) holds the fuzz targets' tests alone (tests/fuzz/fuzz.cmake).
if(SKELVANE_FUZZ)
  return()
endif()
file(GLOB SKELVANE_PURE_TESTS CONFIGURE_DEPENDS tests/pure/*.cpp)
add_executable(unit_tests ${SKELVANE_PURE_TESTS})
target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(unit_tests PRIVATE ${SKELVANE_WARNINGS})
target_link_libraries(unit_tests PRIVATE skelvane_pure GTest::gtest GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60 TEST_PREFIX pure.
                     PROPERTIES LABELS pure)

# The sources' formatting, a check of the tree rather than of a build (label static).
add_test(NAME static_format COMMAND bash ${CMAKE_SOURCE_DIR}/tests/static/checks.sh format)
set_tests_properties(static_format PROPERTIES LABELS static TIMEOUT 120)
# Each product folder includes only from its own floor's folder and the floors below.
add_test(NAME static_include_floors
         COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/static/include_floors.py ${CMAKE_SOURCE_DIR})
set_tests_properties(static_include_floors PROPERTIES LABELS static TIMEOUT 60)
