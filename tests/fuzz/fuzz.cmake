# Fuzz targets (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer; clang only):
# configure a build of its own with -DSKELVANE_FUZZ=ON and clang as the compiler, then build the
# target `fuzz_targets`. tests/fuzz/run.sh does both.
#
# One target per unit that takes outside bytes: tests/fuzz/<name>.cpp defines
# LLVMFuzzerTestOneInput, tests/fuzz/corpus/<name>/ holds its seeds and
# tests/fuzz/regressions/<name>/ every input that once crashed it. A new target is one more name
# in this list and those files.
set(SKELVANE_FUZZ_TARGETS
  wide_format
  reply_body
  cert_list
  hosts_search
)

add_custom_target(fuzz_targets)
foreach(name IN LISTS SKELVANE_FUZZ_TARGETS)
  add_executable(fuzz_${name} ${CMAKE_SOURCE_DIR}/tests/fuzz/${name}.cpp)
  target_compile_options(fuzz_${name} PRIVATE ${SKELVANE_WARNINGS})
  target_link_libraries(fuzz_${name} PRIVATE skelvane_pure)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_targets fuzz_${name})
endforeach()

# Each target for a few seconds on its seeds and regression inputs, as a ctest test (label fuzz).
set(SKELVANE_FUZZ_SMOKE_SECONDS 5 CACHE STRING "How long each fuzz target runs under ctest")
foreach(name IN LISTS SKELVANE_FUZZ_TARGETS)
  add_test(NAME fuzz_${name}
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fuzz/run.sh --no-build
                   ${SKELVANE_FUZZ_SMOKE_SECONDS} ${name})
  set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz TIMEOUT 120
                       ENVIRONMENT SKELVANE_FUZZ_BUILD=${CMAKE_BINARY_DIR})
endforeach()
