# What every CI run checks beside the suite itself (scripts/test.sh turns it
# on): the end-to-end suite of the release build under valgrind, the whole
# suite on a sanitizer build, each fuzz target for a bounded time, and the
# analyzers. The sanitizer and fuzz builds live in build-asan and build-fuzz.
find_program(QUORBEL_VALGRIND valgrind REQUIRED)
# One build is enough: the two differ in a constant.
add_e2e_suite(valgrind_caret $<TARGET_FILE:quorbel_caret> "^"
  "${QUORBEL_VALGRIND} --error-exitcode=99 --leak-check=no -q" "QUORBEL_CHECKER=valgrind")

add_test(NAME sanitizer_suite COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/sanitize.sh)
set(QUORBEL_FUZZ_SECONDS 60 CACHE STRING "How long CI runs each fuzz target")
add_test(NAME fuzz COMMAND bash ${PROJECT_SOURCE_DIR}/fuzz/run.sh ${QUORBEL_FUZZ_SECONDS})
add_test(NAME clang_tidy COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/analyze.sh tidy)
add_test(NAME cppcheck COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/analyze.sh cppcheck)
set_tests_properties(sanitizer_suite fuzz clang_tidy cppcheck PROPERTIES TIMEOUT 2400 LABELS checks)
set_tests_properties(e2e_valgrind_caret PROPERTIES LABELS checks)
# The longest start first, so that the run does not end on one of them alone.
set_tests_properties(sanitizer_suite fuzz e2e_valgrind_caret PROPERTIES COST 1000)
