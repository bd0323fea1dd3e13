# The checks of the product tree (build/windows; build/win64 where 32-bit code cannot run), with
# SKELVANE_TESTS: what skelvane.exe imports and its size, the release, and every end-to-end
# scenario on each leg the program plays. Labels: static, release, e2e and the leg's name.
enable_testing()
set(SKELVANE_LAUNCHER ${CMAKE_SOURCE_DIR}/tests/support/windows/run_under_wine.sh)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  foreach(check imports size)
    add_test(NAME static_${check}
             COMMAND bash ${CMAKE_SOURCE_DIR}/tests/static/checks.sh ${check}
                     $<TARGET_FILE:skelvane>)
    set_tests_properties(static_${check} PROPERTIES LABELS static TIMEOUT 60)
  endforeach()
  # Both rebuild or repack into build/windows (release.sh, cpack): one at a time. The signed one
  # runs the program under Wine in a copy of a 64-bit prefix, the tool's usual home.
  foreach(check reproducible signed)
    add_test(NAME release_${check}
             COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/checks.sh ${check})
    set_tests_properties(release_${check} PROPERTIES LABELS release TIMEOUT 900
                         RESOURCE_LOCK skelvane_release)
  endforeach()
  set_tests_properties(release_signed PROPERTIES FIXTURES_REQUIRED wine_template_win64)
  set(legs win32 wow64)
else()
  set(legs win64)
endif()
# A machine that cannot execute 32-bit code plays the scenarios with the x86_64 build alone.
set(SKELVANE_E2E_LEGS ${legs} CACHE STRING "The legs the end-to-end scenarios play with this build")
set(SKELVANE_WINE_KIND_win32 win32)
set(SKELVANE_WINE_KIND_wow64 win64)
set(SKELVANE_WINE_KIND_win64 win64)

# One test per scenario and leg: the runner plays that scenario alone, in a copy of the leg's
# template prefix. Exit code 77: the scenario does not fit the leg (NEEDS_X64_WINE) or cannot be
# played here (NOT_ON); the runner says why.
file(GLOB scenarios CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/scenarios/*/scenario.py)
foreach(scenario IN LISTS scenarios)
  get_filename_component(scenario ${scenario} DIRECTORY)
  get_filename_component(scenario ${scenario} NAME)
  foreach(leg IN LISTS SKELVANE_E2E_LEGS)
    add_test(NAME e2e_${scenario}_${leg}
             COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/e2e/run.py --wine $<TARGET_FILE:skelvane>
                     --legs ${leg} --only ${scenario})
    set_tests_properties(e2e_${scenario}_${leg} PROPERTIES LABELS "e2e;${leg}" TIMEOUT 600
                         SKIP_RETURN_CODE 77
                         FIXTURES_REQUIRED wine_template_${SKELVANE_WINE_KIND_${leg}})
  endforeach()
endforeach()
