#!/usr/bin/env bash
# Builds tesk, its native tests and its test-only modules with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan), runs the native tests, then pytest with the
# sanitizer runtime preloaded into the interpreter, and counts the sanitizer reports of
# every process (subprocesses and forked children included).
#
#   tools/sanitize.sh                  the whole pytest suite
#   tools/sanitize.sh <pytest args>    a chosen part of it
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/asan
logs=$build/sanitizer-logs
python=${PYTHON:-python3}
started=$SECONDS

cmake -S "$root" -B "$build" -G Ninja -DTESK_SANITIZE=ON -DTESK_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" -j2
built=$SECONDS

rm -rf "$logs"
mkdir -p "$logs"
# The interpreter itself is not instrumented: the runtime must be its first library.
runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# allocator_may_return_null: eye(2**30) asks for 2**63 bytes and must get MemoryError.
asan_common="allocator_may_return_null=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"

# The native tests embed the interpreter, whose own allocations live until exit.
printf 'leak:libpython3\n' > "$build/lsan-interpreter.supp"
native_status=0
for suite in tesk_native_tests tesk_binding_tests; do
    ASAN_OPTIONS="$asan_common:detect_leaks=1" \
    LSAN_OPTIONS="suppressions=$build/lsan-interpreter.supp:print_suppressions=0" \
        "$build/tests/$suite" --gtest_brief=1 || native_status=$?
done
native_done=$SECONDS

# Leak detection stays off under pytest: CPython keeps memory until exit by design;
# test_leaks.py and valgrind_check.sh look for the module's leaks instead.
pytest_status=0
(cd "$root" &&
    LD_PRELOAD="$runtime" \
    ASAN_OPTIONS="$asan_common:detect_leaks=0" PYTHONMALLOC=malloc \
    PYTHONPATH="$build" TESK_BUILD_DIR="$build" \
    "$python" -m pytest -q -p no:cacheprovider "${@:-tests/python}") || pytest_status=$?

asan_errors=$(cat "$logs"/asan.* 2>/dev/null | grep -c "ERROR: AddressSanitizer" || true)
ubsan_errors=$(cat "$logs"/* 2>/dev/null | grep -c "runtime error:" || true)
if [ "$asan_errors" -gt 0 ] || [ "$ubsan_errors" -gt 0 ]; then
    cat "$logs"/*
fi
printf 'sanitizers: %s AddressSanitizer errors, %s UndefinedBehaviorSanitizer errors\n' \
    "$asan_errors" "$ubsan_errors"
printf 'sanitizers: build %ss, native tests %ss, pytest %ss\n' \
    $((built - started)) $((native_done - built)) $((SECONDS - native_done))
[ "$native_status" -eq 0 ] && [ "$pytest_status" -eq 0 ] &&
    [ "$asan_errors" -eq 0 ] && [ "$ubsan_errors" -eq 0 ]
