# Run by ctest (through armhf-e2e-tests.cmake, which sets host_dir, programs,
# prefix, labels and env): adds one test <prefix>.<Suite>.<Test> per scenario
# of the host build's scenario programs.
# A missing or outdated host build shows as a failing test, never as a
# silently smaller suite.

# Adds a test that fails with message.
function(rig_failing_test name message)
  add_test(${name} sh -c "echo '${message}' >&2; exit 1")
  set_tests_properties(${name} PROPERTIES LABELS "${labels}")
endfunction()

foreach(program IN LISTS programs)
  set(exe ${host_dir}/tests/e2e/${program})
  if(NOT EXISTS ${exe})
    rig_failing_test(${prefix}.${program}.missing
      "no ${exe}: build the host preset first (cmake --preset host && cmake --build --preset host)")
    continue()
  endif()
  # A host build from before the scenarios could run another program (in
  # another userland, statically linked) would run its own program instead.
  file(STRINGS ${exe} knows_emulator LIMIT_COUNT 1 REGEX "RIG_E2E_USERLAND")
  if(NOT knows_emulator)
    rig_failing_test(${prefix}.${program}.outdated
      "${exe} cannot run the armhf program: build the host preset again")
    continue()
  endif()
  execute_process(COMMAND ${exe} --gtest_list_tests
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc TIMEOUT 60)
  if(NOT rc EQUAL 0)
    rig_failing_test(${prefix}.${program}.list "${exe} --gtest_list_tests failed: ${rc}")
    continue()
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(suite "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "[ \t]*#.*" "" line "${line}")  # parameter comments
    if(line MATCHES "^([^ ]+\\.)$")
      set(suite ${CMAKE_MATCH_1})
    elseif(line MATCHES "^  ([^ ]+)$" AND suite)
      set(test ${suite}${CMAKE_MATCH_1})
      add_test(${prefix}.${test} ${exe} --gtest_filter=${test})
      set_tests_properties(${prefix}.${test} PROPERTIES
        ENVIRONMENT "${env}" LABELS "${labels}" TIMEOUT 600
        SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    endif()
  endforeach()
endforeach()
