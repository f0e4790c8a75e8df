#!/usr/bin/env bash
# Memcheck over tools/valgrind_script.py (every function, layout and failure path) with
# a release build of tesk that carries debug information (build/valgrind). Passes when no
# invalid access and no use of uninitialised memory concerns tesk; the interpreter's and
# the C library's own start-up reports are counted but not judged.
#
# Valgrind does not emulate AVX-512, so the module runs its AVX2 forms here; the
# AVX-512 forms are covered by tools/sanitize.sh, which runs natively.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/valgrind
logs=$build/memcheck-logs
python=${PYTHON:-python3}
started=$SECONDS

if ! command -v valgrind >/dev/null; then
    echo "valgrind is not installed (Debian/Ubuntu: sudo apt-get install valgrind)" >&2
    exit 1
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
    -DTESK_BUILD_TESTS=OFF -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" --target tesk -j2
built=$SECONDS

# The interpreter binary itself: a launcher script in between would be all memcheck saw.
interpreter=$("$python" -c 'import sys; print(sys.executable)')
rm -rf "$logs"
mkdir -p "$logs"
status=0
PYTHONMALLOC=malloc PYTHONPATH="$build" \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --track-origins=yes \
    --num-callers=40 --fullpath-after= --log-file="$logs/memcheck.%p.log" \
    "$interpreter" "$root/tools/valgrind_script.py" || status=$?
# 99 only says that some process had some report; the summary decides what is tesk's.
if [ "$status" -ne 0 ] && [ "$status" -ne 99 ]; then
    echo "valgrind: the script failed with status $status" >&2
    exit "$status"
fi
"$python" "$root/tools/valgrind_summary.py" "$root" "$logs"/memcheck.*.log
printf 'valgrind: build %ss, memcheck run %ss\n' $((built - started)) $((SECONDS - built))
