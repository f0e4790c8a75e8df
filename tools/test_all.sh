#!/usr/bin/env bash
# The one test command; CI runs it through .ci/run. It leaves the interpreters it finds
# alone: everything is installed into virtual environments under build/.
#
# For every CPython from 3.9 to 3.13 found (through `pyenv root`, then python3.X on PATH;
# with CI=true all five are required) it builds the wheel together with the test-only
# modules, installs the wheel in the interpreter's environment and runs the whole pytest
# suite under the newest NumPy that installs there, then under NumPy 1.26 where 1.26 has
# wheels (3.9 to 3.12). On one interpreter, 3.11 where found, it also runs the long soak
# tests, the native GoogleTest suite, the typing checks, the sanitizers, valgrind, the
# registration example and the check of the source distribution.
#
#   TESK_PYTHONS="/usr/bin/python3 ..." tools/test_all.sh   these interpreters instead
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
ci=${CI:-false}
versions=(3.9 3.10 3.11 3.12 3.13)
numpy_126_versions=" 3.9 3.10 3.11 3.12 "
logs=$root/build/logs
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1

started=$SECONDS
timings=()
runs=()
totals=(0 0 0) # passed, failed, skipped over every pytest run
current=""

section() { printf '\n=== %s ===\n' "$*"; }
fail() {
    printf 'test_all: %s\n' "$*" >&2
    exit 1
}
stage() { # name command...: runs the command as one timed stage
    local begun=$SECONDS
    current=$1
    shift
    section "$current"
    "$@"
    timings+=("$(printf '%5ds  %s' $((SECONDS - begun)) "$current")")
    printf '%s: %ds (%ds so far)\n' "$current" $((SECONDS - begun)) $((SECONDS - started))
    current=""
}
# Stage times and pytest runs, also of a run that failed; a passing run ends with the
# total of its pytest runs in pytest's own words.
summary() {
    local status=$?
    section "summary"
    printf '%s\n' "${timings[@]}"
    printf '%5ds  total\n\n' $((SECONDS - started))
    if [ ${#runs[@]} -gt 0 ]; then
        printf '%s\n' "${runs[@]}"
    fi
    if [ "$status" -ne 0 ]; then
        printf '\ntest_all: FAILED with status %d in stage "%s"\n' "$status" "$current"
    else
        printf '\npytest: %d passed, %d failed, %d skipped\n' "${totals[@]}"
    fi
}
trap summary EXIT

# --- what the machine must provide ---------------------------------------------------

system_packages() {
    local missing=()
    command -v g++ >/dev/null || missing+=(g++)
    [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] ||
        missing+=(libgtest-dev)
    command -v valgrind >/dev/null || missing+=(valgrind)
    if [ ${#missing[@]} -eq 0 ]; then
        echo "all present"
        return
    fi
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        fail "missing system packages: ${missing[*]} (Debian/Ubuntu: sudo apt-get install ${missing[*]})"
    fi
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python() { # version -> the path of a working interpreter of that version, if any
    local version=$1 candidate pyenv_root=""
    local candidates=()
    if command -v pyenv >/dev/null; then
        pyenv_root=$(pyenv root)
    fi
    if [ -n "$pyenv_root" ]; then
        while IFS= read -r candidate; do
            candidates+=("$candidate/bin/python$version")
        done < <(ls -d "$pyenv_root/versions/$version".* 2>/dev/null | sort -V -r)
    fi
    candidate=$(command -v "python$version" || true)
    if [ -n "$candidate" ]; then
        candidates+=("$candidate")
    fi
    for candidate in "${candidates[@]}"; do
        if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$version" ]; then
            echo "$candidate"
            return
        fi
    done
}

# Sets `pythons` (version -> interpreter) and `primary`.
declare -A pythons
choose_interpreters() {
    local version python skipped=()
    if [ -n "${TESK_PYTHONS:-}" ]; then
        for python in $TESK_PYTHONS; do
            version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') ||
                fail "cannot run $python"
            pythons[$version]=$python
        done
    else
        for version in "${versions[@]}"; do
            python=$(find_python "$version")
            if [ -n "$python" ]; then
                pythons[$version]=$python
            else
                skipped+=("$version")
            fi
        done
    fi
    for version in "${versions[@]}"; do
        if [ -n "${pythons[$version]:-}" ]; then
            printf 'CPython %-5s %s\n' "$version" "${pythons[$version]}"
        fi
    done
    if [ ${#skipped[@]} -gt 0 ]; then
        if [ "$ci" = true ]; then
            fail "CI needs CPython ${versions[*]}; not found: ${skipped[*]}"
        fi
        echo "skipped (not found): CPython ${skipped[*]}"
    fi
    [ ${#pythons[@]} -gt 0 ] || fail "no CPython 3.9 to 3.13 found"
    primary=""
    for version in 3.11 "${versions[@]}"; do
        if [ -z "$primary" ] && [ -n "${pythons[$version]:-}" ]; then
            primary=$version
        fi
    done
    echo "the native tests, soak tests, typing checks, sanitizers, valgrind, the registration" \
        "example and the source distribution check run on $primary"
}

# --- one interpreter -------------------------------------------------------------------

make_venv() { # version
    local version=$1 base=${pythons[$1]} venv=$root/build/venv-py$1
    local include
    include=$("$base" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    [ -f "$include/Python.h" ] ||
        fail "CPython $version has no development headers (Debian/Ubuntu: python$version-dev)"
    if [ ! -x "$venv/bin/python" ]; then
        "$base" -m venv "$venv" ||
            fail "cannot make a virtual environment with $base (Debian/Ubuntu: python$version-venv)"
    fi
    local extra=()
    if [ "$version" = "$primary" ]; then
        extra=(mypy)
    fi
    "$venv/bin/python" -m pip install -q --upgrade numpy pytest hypothesis \
        scikit-build-core cmake ninja "${extra[@]}"
    # Dask serves one example and its test; outside CI it may be absent where it does not
    # install, and the test then says it was skipped.
    if ! "$venv/bin/python" -m pip install -q --upgrade "dask[array]" distributed; then
        if [ "$ci" = true ]; then
            fail "dask does not install on CPython $version"
        fi
        echo "dask does not install on CPython $version: its example test is skipped there"
    fi
}

# The wheel and the test-only modules come from one CMake tree (build/py3.X), which
# TESK_BUILD_DIR then names to pytest; only the primary interpreter's tree holds the
# native tests and the keystream benchmark.
build_and_install() { # version
    local version=$1 venv=$root/build/venv-py$1 tree=$root/build/py$1
    local wheelhouse=$root/build/wheelhouse/py$1
    local targets="tesk;_tesk_testing;tesk_entropy_interpose;tesk_allocation_interpose"
    if [ "$version" = "$primary" ]; then
        targets="$targets;tesk_native_tests;tesk_binding_tests;tesk_chacha_bench"
    fi
    rm -rf "$wheelhouse"
    "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$wheelhouse" \
        --config-settings=build-dir="$tree" \
        --config-settings=cmake.define.TESK_BUILD_TESTS=ON \
        --config-settings=cmake.define.TESK_BUILD_BENCH=ON \
        --config-settings=cmake.define.TESK_WERROR=ON \
        --config-settings="build.targets=$targets" "$root"
    local wheel
    wheel=$(ls "$wheelhouse"/tesk-*.whl)
    # No path of this machine may travel with the wheel.
    "$venv/bin/python" - "$wheel" "$root" <<'EOF'
import sys
import zipfile

wheel, root = zipfile.ZipFile(sys.argv[1]), sys.argv[2].encode()
found = [name for name in wheel.namelist() if root in wheel.read(name)]
sys.exit(f"{', '.join(found)} in {sys.argv[1]} name {sys.argv[2]}" if found else 0)
EOF
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
}

record_summary() { # label log
    local line passed failed skipped
    line=$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)' "$2" | tail -1 | sed -E 's/^=+ //; s/ =+$//')
    passed=$(grep -oE '[0-9]+ passed' <<<"$line" | cut -d' ' -f1 || true)
    failed=$(grep -oE '[0-9]+ failed' <<<"$line" | cut -d' ' -f1 || true)
    skipped=$(grep -oE '[0-9]+ skipped' <<<"$line" | cut -d' ' -f1 || true)
    totals=($((totals[0] + ${passed:-0})) $((totals[1] + ${failed:-0})) $((totals[2] + ${skipped:-0})))
    runs+=("$(printf '%-36s %s' "$1" "$line")")
    [ "${passed:-0}" -gt 0 ] || fail "pytest passed no test in $1"
}

# Any status but 0 fails the run: 1 (failures), 5 (no test collected), and the rest.
run_pytest() { # version pytest-args...
    local version=$1 venv=$root/build/venv-py$1
    shift
    local numpy label status=0
    numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
    label="CPython $version, NumPy $numpy"
    local log=$logs/pytest-py$version-numpy$numpy.log
    echo "$label: pytest $*"
    (cd "$root" && TESK_BUILD_DIR="$root/build/py$version" \
        "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "$@" tests/python) 2>&1 |
        tee "$log" || status=$?
    [ "$status" -eq 0 ] || fail "pytest exited with status $status ($label; log $log)"
    record_summary "$label" "$log"
}

test_interpreter() { # version
    local version=$1 soak=(-m "not soak")
    if [ "$version" = "$primary" ]; then
        soak=()
    fi
    make_venv "$version"
    build_and_install "$version"
    run_pytest "$version" "${soak[@]}"
    if [[ $numpy_126_versions == *" $version "* ]]; then
        "$root/build/venv-py$version/bin/python" -m pip install -q --only-binary=:all: \
            "numpy==1.26.*"
        run_pytest "$version" -m "not soak"
    fi
}

# --- the primary interpreter only -----------------------------------------------------

native_tests() {
    "$root/build/py$primary/tests/tesk_native_tests" --gtest_brief=1
    "$root/build/py$primary/tests/tesk_binding_tests" --gtest_brief=1
}

# The C++ sources as .clang-format lays them out, checked with a pinned clang-format.
format_check() {
    local venv=$root/build/venv-format
    [ -x "$venv/bin/clang-format" ] || {
        "${pythons[$primary]}" -m venv "$venv" && "$venv/bin/pip" install -q "clang-format==18.1.8"
    }
    (cd "$root" && git ls-files 'src/*.cpp' 'src/*.h' 'tests/native/*.cpp' 'tests/native/*.h' |
        xargs "$venv/bin/clang-format" --dry-run --Werror)
}

# The module as a distribution builds it that passes -fcf-protection=full in CXXFLAGS
# alone (so the assembly is built without it) and whose GCC ships no libbacktrace (which
# compiles failure.cpp's other backtrace writer): it keeps the IBT and SHSTK marking, or
# the linker names as unmarked only inputs from outside this tree, as Debian 12's crti.o,
# crtn.o and libc_nonshared.a, with which no shared object links marked. The module is
# relinked on every run so that the linker reports again.
cf_protection_check() {
    local venv=$root/build/venv-py$primary tree=$root/build/cf-protection log marking
    local unmarked ours
    PATH="$venv/bin:$PATH" cmake -S "$root" -B "$tree" -G Ninja \
        -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_CXX_FLAGS=-fcf-protection=full \
        -DCMAKE_MODULE_LINKER_FLAGS=-Wl,-z,cet-report=warning -DTESK_HAVE_BACKTRACE_H=0 >/dev/null
    rm -f "$tree"/tesk.*.so
    log=$(PATH="$venv/bin:$PATH" cmake --build "$tree" --target tesk 2>&1) ||
        fail "the -fcf-protection=full build failed: $log"
    marking=$(readelf -n "$tree"/tesk.*.so | grep 'x86 feature:' || true)
    echo "${marking:-the module carries no x86 feature property}"
    [[ $marking == *IBT*SHSTK* ]] && return
    unmarked=$(sed -nE 's/^.*ld[^:]*: (.+): warning: missing .*propert.*$/\1/p' <<<"$log")
    [ -n "$unmarked" ] || fail "the module is not marked IBT and SHSTK, and the linker says not why"
    printf 'unmarked inputs, as the linker names them:\n%s\n' "$unmarked"
    ours=$(awk -v root="$root/" 'substr($0, 1, 1) != "/" || index($0, root) == 1' <<<"$unmarked")
    [ -z "$ours" ] || fail "objects of this tree lack the IBT and SHSTK property: $ours"
    echo "all of the module's own objects are marked"
}

typing_checks() {
    local venv=$root/build/venv-py$primary wheel
    wheel=$(ls "$root/build/wheelhouse/py$primary"/tesk-*.whl)
    local stubs
    stubs=$("$venv/bin/python" -m zipfile -l "$wheel" |
        grep -cE '^(tesk\.pyi|tesk-stubs/__init__\.pyi) ' || true)
    [ "$stubs" -eq 2 ] || fail "the wheel lacks its type stubs"
    (cd "$root" && MYPY_CACHE_DIR="$root/build/mypy-cache" "$venv/bin/python" -m mypy --strict examples/)
    (cd "$root/build" && "$venv/bin/python" -m mypy.stubtest tesk) # its cache lands in build/
}

# The registration example as its users run it: the wheel's `examples` extras installed
# beside it, run from outside the source tree; it must exit 0 and end with its verdict.
registration_example() {
    local venv=$root/build/venv-py$primary wheel dir out status=0
    local verdict='^recovered shift \(dy, dx\) = .+ \(true .+\), error [0-9.]+ px$'
    wheel=$(ls "$root/build/wheelhouse/py$primary"/tesk-*.whl)
    "$venv/bin/python" -m pip install -q "$wheel[examples]"
    dir=$(mktemp -d)
    out=$(cd "$dir" && "$venv/bin/python" "$root/examples/registration.py" \
        --plot "$dir/registration.png") || status=$?
    printf '%s\n' "$out"
    [ "$status" -eq 0 ] || fail "examples/registration.py exited with status $status"
    [[ $(tail -n 1 <<<"$out") =~ $verdict ]] ||
        fail "examples/registration.py did not end with its recovered shift"
    [ "$(head -c 4 "$dir/registration.png" | tail -c 3)" = PNG ] ||
        fail "examples/registration.py --plot wrote no PNG"
    rm -rf "$dir"
}

# The source distribution as pip gets it: built from this tree (in CI a clean checkout,
# with this run's builds, venvs and caches beside it), it holds the tracked files and
# PKG-INFO, nothing else; it builds and installs in a fresh environment, where the demo
# runs from a directory outside the tree.
sdist_check() {
    local venv=$root/build/venv-py$primary work=$root/build/sdist-check sdist extra dir module
    local outputs='(^|/)(build|__pycache__|\.pytest_cache|\.hypothesis|\.mypy_cache|\.git)(/|$)'
    outputs+='|\.so$'
    rm -rf "$work"
    "$venv/bin/python" -m pip install -q build
    # Packing the sources takes scikit-build-core alone, which the venv has: not the NumPy
    # that the build system asks for to compile, which is 1.26 here by now.
    "$venv/bin/python" -m build -q --sdist --no-isolation --skip-dependency-check \
        -o "$work" "$root"
    sdist=$(ls "$work"/tesk-*.tar.gz)
    extra=$(comm -13 <(cd "$root" && git ls-files | sort) \
        <(tar -tzf "$sdist" | sed 's|^[^/]*/||; /^$/d; /\/$/d' | sort) | grep -vx PKG-INFO || true)
    [ -z "$extra" ] || fail "$(basename "$sdist") carries files that git does not track: $extra"
    extra=$(tar -tzf "$sdist" | grep -E "$outputs" || true)
    [ -z "$extra" ] || fail "$(basename "$sdist") carries build outputs or caches: $extra"
    "${pythons[$primary]}" -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install -q "$sdist"
    dir=$(mktemp -d)
    cp "$root/examples/demo.py" "$dir/"
    module=$(cd "$dir" && "$work/venv/bin/python" -c 'import tesk; print(tesk.__file__)')
    [[ $module == "$work/venv/"* ]] || fail "tesk comes from $module, not from the fresh venv"
    (cd "$dir" && "$work/venv/bin/python" demo.py)
    rm -rf "$dir"
}

# ---------------------------------------------------------------------------------------

mkdir -p "$logs"
stage "system packages" system_packages
stage "interpreters" choose_interpreters
for version in "${versions[@]}"; do
    if [ -n "${pythons[$version]:-}" ]; then
        stage "CPython $version: build, install, pytest" test_interpreter "$version"
    fi
done
stage "clang-format: src/ and tests/native/" format_check
stage "generated ChaCha assembly matches tools/gen_chacha_asm.py" \
    "${pythons[$primary]}" "$root/tools/gen_chacha_asm.py" --check
stage "native tests (CPython $primary)" native_tests
stage "IBT and SHSTK marking of a -fcf-protection=full build, without libbacktrace" \
    cf_protection_check
stage "typing: stubs in the wheel, mypy --strict on the examples, stubtest" typing_checks
# The soak tests repeat what the release run has already checked; under the sanitizers
# they would only multiply its cost.
stage "AddressSanitizer and UndefinedBehaviorSanitizer: native tests and pytest (no soak)" \
    env PYTHON="$root/build/venv-py$primary/bin/python" bash "$root/tools/sanitize.sh" \
    -m "not soak" tests/python
stage "valgrind memcheck: every function, layout and failure path" \
    env PYTHON="$root/build/venv-py$primary/bin/python" bash "$root/tools/valgrind_check.sh"
stage "examples/registration.py with the examples' extras (CPython $primary)" registration_example
stage "source distribution: contents, fresh install, demo (CPython $primary)" sdist_check
