# The native build: the tool's code over the stand-in layer (platform/posix), the native
# program, and the unit tests.
find_package(OpenSSL REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

if(SKELVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

file(GLOB SKELVANE_STANDIN_SOURCES CONFIGURE_DEPENDS platform/posix/*.cpp)
list(FILTER SKELVANE_STANDIN_SOURCES EXCLUDE REGEX "/platform/posix/entry\\.cpp$")

add_library(standin STATIC ${SKELVANE_STANDIN_SOURCES})
target_include_directories(standin PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/posix)
target_compile_definitions(standin PRIVATE
  SKELVANE_STANDIN
  SKELVANE_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
  SKELVANE_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  SKELVANE_VERSION_PATCH=${PROJECT_VERSION_PATCH}
  SKELVANE_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
target_compile_options(standin PRIVATE ${SKELVANE_WARNINGS})
target_link_libraries(standin PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

add_library(skelvane_core STATIC ${SKELVANE_TOOL_SOURCES} ${SKELVANE_GENERATED_SOURCES})
target_include_directories(skelvane_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
target_compile_options(skelvane_core PRIVATE ${SKELVANE_WARNINGS})
target_link_libraries(skelvane_core PUBLIC standin)

add_executable(skelvane app/main.cpp platform/posix/entry.cpp)
set_source_files_properties(platform/posix/entry.cpp PROPERTIES COMPILE_DEFINITIONS SKELVANE_STANDIN)
target_compile_options(skelvane PRIVATE ${SKELVANE_WARNINGS})
target_link_libraries(skelvane PRIVATE skelvane_core)

enable_testing()
file(GLOB_RECURSE SKELVANE_TEST_SOURCES CONFIGURE_DEPENDS tests/*.cpp)
list(FILTER SKELVANE_TEST_SOURCES EXCLUDE REGEX "/tests/fuzz/")  # each its own program
list(FILTER SKELVANE_TEST_SOURCES EXCLUDE REGEX "/tests/support/windows/")
foreach(folder IN LISTS SKELVANE_WINDOWS_TEST_FOLDERS)
  list(FILTER SKELVANE_TEST_SOURCES EXCLUDE REGEX "/tests/${folder}/")
endforeach()
add_executable(unit_tests ${SKELVANE_TEST_SOURCES})
target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(unit_tests PRIVATE ${SKELVANE_WARNINGS})
target_link_libraries(unit_tests PRIVATE skelvane_core GTest::gtest GTest::gtest_main)
target_compile_definitions(unit_tests PRIVATE SKELVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
include(GoogleTest)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60)
