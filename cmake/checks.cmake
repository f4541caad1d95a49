# What CI checks beside the suite (scripts/test.sh turns it on), the longest first. One build under valgrind is
# enough: the two differ in a constant.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
option(QUORBEL_CHECKS "Also run valgrind, the sanitizer suite, the fuzzers and the analyzers as tests" OFF)
if(QUORBEL_CHECKS)
  find_program(QUORBEL_VALGRIND valgrind REQUIRED)
  add_e2e(e2e_valgrind_caret checks test_*.py $<TARGET_FILE:quorbel_caret> "^"
    "${QUORBEL_VALGRIND} --error-exitcode=99 --leak-check=no -q" QUORBEL_CHECKER=valgrind)
  set(QUORBEL_FUZZ_SECONDS 60 CACHE STRING "How long CI runs each fuzz target")
  add_test(NAME sanitizer_suite COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/sanitize.sh)
  add_test(NAME fuzz COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fuzz.sh ${QUORBEL_FUZZ_SECONDS})
  add_test(NAME clang_tidy COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/analyze.sh tidy)
  add_test(NAME cppcheck COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/analyze.sh cppcheck)
  set_tests_properties(sanitizer_suite fuzz clang_tidy cppcheck PROPERTIES TIMEOUT 2400)
  set_tests_properties(sanitizer_suite fuzz clang_tidy cppcheck PROPERTIES LABELS checks)
  set_tests_properties(sanitizer_suite fuzz e2e_valgrind_caret PROPERTIES COST 1000)
endif()
