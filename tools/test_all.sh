#!/usr/bin/env bash
# The one test command; CI runs it through .ci/run. It leaves the interpreters it finds
# alone: everything is installed into virtual environments under build/.
#
# For every CPython from 3.9 to 3.13 found (through `pyenv root`, then python3.X on PATH;
# with CI=true all five are required) it builds the wheel together with the test-only
# modules, installs the wheel in the interpreter's environment and runs the whole pytest
# suite under the newest NumPy that installs there, then under NumPy 1.26 where 1.26 has
# wheels (3.9 to 3.12). On one interpreter, 3.11 where found, it also runs the long soak
# tests, clang-format, the check of the generated assembly, the native GoogleTest suites,
# the IBT/SHSTK marking of a -fcf-protection build, the typing checks, the sanitizers,
# valgrind, the registration example and the check of the source distribution.
#
# CPython 3.14 and 3.15, which Debian 12 does not package, run the whole suite (soak tests
# included) in a Debian unstable root, built with that root's own compiler; so does the
# portable wheel (tools/build_wheel.sh) for 3.9, on this machine and in a Debian 11 root
# (glibc 2.31), where the interpreters and the C++ runtime differ most. The roots are
# made with debootstrap and entered with chroot, so they need root and Debian's apt; they
# are kept in ~/.cache/tesk/roots ($TESK_ROOTS) for the next run. Without root or apt the
# three stages are skipped, and with CI=true they are required.
#
#   TESK_PYTHONS="/usr/bin/python3 ..." tools/test_all.sh   these interpreters instead
#                                                           (and no root stages)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
ci=${CI:-false}
versions=(3.9 3.10 3.11 3.12 3.13)
root_versions=(3.14 3.15) # in the Debian unstable root
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
    release_mounts
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
# Interrupted, the run still ends through the summary, which unmounts what it mounted.
trap 'exit 130' INT
trap 'exit 143' TERM

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

# What the package claims is what is tested: its Python classifiers name exactly the
# versions this script runs.
classifiers_check() {
    local claimed tested
    claimed=$(grep -oE '"Programming Language :: Python :: 3\.[0-9]+"' "$root/pyproject.toml" |
        grep -oE '3\.[0-9]+' | tr '\n' ' ')
    tested="${versions[*]} ${root_versions[*]} "
    [ "$claimed" = "$tested" ] ||
        fail "pyproject.toml claims CPython $claimed; tools/test_all.sh tests $tested"
    echo "CPython $claimed"
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
    "$venv/bin/python" -m pip install -q --upgrade scikit-build-core cmake ninja "${extra[@]}"
    install_test_packages "$venv" "$version"
}

install_test_packages() { # venv version
    "$1/bin/python" -m pip install -q --upgrade numpy pytest pytest-xdist hypothesis
    # Dask serves one example and its test; outside CI it may be absent where it does not
    # install, and the test then says it was skipped.
    if ! "$1/bin/python" -m pip install -q --upgrade "dask[array]" distributed; then
        if [ "$ci" = true ]; then
            fail "dask does not install on CPython $2"
        fi
        echo "dask does not install on CPython $2: its example test is skipped there"
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
    check_no_machine_path "$venv/bin/python" "$wheel"
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
}

# No path of this machine may travel with a wheel.
check_no_machine_path() { # python wheel
    "$1" - "$2" "$root" <<'EOF'
import sys
import zipfile

wheel, root = zipfile.ZipFile(sys.argv[1]), sys.argv[2].encode()
found = [name for name in wheel.namelist() if root in wheel.read(name)]
sys.exit(f"{', '.join(found)} in {sys.argv[1]} name {sys.argv[2]}" if found else 0)
EOF
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
run_pytest() { # venv test-build label pytest-args...
    local venv=$1 tree=$2 label=$3
    shift 3
    local numpy status=0
    numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
    label="$label, NumPy $numpy"
    local log=$logs/pytest-${venv##*/venv-}-numpy$numpy.log
    echo "$label: pytest $*"
    # One worker per processor, each taking whole files: a file's tests share fixtures
    # and their order.
    (cd "$root" && TESK_BUILD_DIR="$tree" "$venv/bin/python" -m pytest -q -rs \
        -p no:cacheprovider -n auto --dist loadfile "$@" tests/python) 2>&1 |
        tee "$log" || status=$?
    [ "$status" -eq 0 ] || fail "pytest exited with status $status ($label; log $log)"
    record_summary "$label" "$log"
    # A run inside a root reports its runs to the run outside (root_stage).
    if [ -n "${runs_file:-}" ]; then
        printf '%s\t%s\n' "$label" "${log##*/}" >>"$runs_file"
    fi
}

test_interpreter() { # version
    local version=$1 soak=(-m "not soak")
    if [ "$version" = "$primary" ]; then
        soak=()
    fi
    local venv=$root/build/venv-py$version tree=$root/build/py$version
    make_venv "$version"
    build_and_install "$version"
    run_pytest "$venv" "$tree" "CPython $version" "${soak[@]}"
    if [[ $numpy_126_versions == *" $version "* ]]; then
        "$venv/bin/python" -m pip install -q --only-binary=:all: "numpy==1.26.*"
        run_pytest "$venv" "$tree" "CPython $version" -m "not soak"
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

# --- Debian roots: CPython 3.14 and 3.15, and the portable wheel on Debian 11 ----------

roots=${TESK_ROOTS:-$HOME/.cache/tesk/roots}
# Only what the stages use: the interpreters with venv and headers and the compiler in
# Debian unstable; Debian 11's own python3 and nm (a test reads the module's exports).
sid_packages=python3.14,python3.14-venv,python3.14-dev,python3.15,python3.15-venv,python3.15-dev,g++
bullseye_packages=python3,python3-venv,binutils
mounted=() # mount points to release, in the order they were made
# Where a root sees this project: a path no file of the project names.
in_root=/srv/tesk-source

release_mounts() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" || umount -R -l "${mounted[i]}" ||
            printf 'test_all: could not unmount %s\n' "${mounted[i]}" >&2
    done
    mounted=()
}

# Refuses to delete or enter a root through which this machine's files are still mounted
# (a run killed with SIGKILL leaves them).
check_no_mounts() { # dir
    if grep -qF " $1/" /proc/self/mounts; then
        fail "$1 still has mounts from an earlier run: umount -R them ($(grep -F " $1/" /proc/self/mounts | cut -d' ' -f2 | tr '\n' ' '))"
    fi
}

roots_usable() {
    [ -z "${TESK_PYTHONS:-}" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null &&
        command -v chroot >/dev/null
}

# The Debian mirror this machine's apt uses.
debian_mirror() {
    apt-get indextargets --format '$(ORIGIN) $(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk '$1 == "Debian" && $3 !~ /-/ { print $2; exit }'
}

# Made once, then reused while the recipe (suite and packages) stays the same. pip's cache
# lives in the root (/root/.cache/pip), so a later run downloads nothing it had.
make_root() { # name suite packages
    local dir=$roots/$1 suite=$2 packages=$3 mirror log=$logs/debootstrap-$1.log
    local recipe="debootstrap --variant=minbase --include=$packages $suite"
    if [ "$(cat "$dir/.tesk-root" 2>/dev/null)" = "$recipe" ]; then
        echo "reusing $dir"
        return
    fi
    check_no_mounts "$dir"
    check_no_mounts "$dir.partial"
    if ! command -v debootstrap >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || fail "no Debian mirror among this machine's apt sources"
    rm -rf "$dir" "$dir.partial"
    mkdir -p "$roots"
    # A release the mirror no longer carries is on Debian's archive.
    for mirror in "$mirror" http://archive.debian.org/debian/; do
        echo "making $dir: $recipe from $mirror (log $log)"
        if debootstrap --variant=minbase --include="$packages" "$suite" "$dir.partial" \
            "$mirror" >"$log" 2>&1; then
            break
        fi
        check_no_mounts "$dir.partial"
        rm -rf "$dir.partial"
    done
    [ -d "$dir.partial" ] || fail "debootstrap $suite failed (log $log)"
    rm -f "$dir.partial"/var/cache/apt/archives/*.deb
    echo "$recipe" >"$dir.partial/.tesk-root"
    mv "$dir.partial" "$dir"
}

# Runs this script with --in-root and the arguments inside the root, with this project
# at $in_root, /proc and /dev bound for the duration and the machine's CA certificates (a
# proxy's included) and DNS settings; the runs of pytest it made join this run's summary.
root_stage() { # name arguments...
    local dir=$roots/$1 status=0 label log
    shift
    check_no_mounts "$dir"
    cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
    mkdir -p "$dir$in_root"
    local runs_log=$logs/runs-in-root-$1.tsv
    rm -f "$runs_log"
    mounted+=("$dir$in_root")
    mount --bind "$root" "$dir$in_root"
    mounted+=("$dir/proc")
    mount -t proc proc "$dir/proc"
    mounted+=("$dir/dev")
    mount --rbind /dev "$dir/dev"
    mount --make-rslave "$dir/dev" # unmounting must not reach the machine's /dev
    chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
        CI="$ci" CMAKE_BUILD_PARALLEL_LEVEL="$CMAKE_BUILD_PARALLEL_LEVEL" \
        runs_file="$in_root/build/logs/${runs_log##*/}" \
        bash "$in_root/tools/test_all.sh" --in-root "$@" || status=$?
    release_mounts
    [ "$status" -eq 0 ] || fail "the run in $dir failed with status $status"
    while IFS=$'\t' read -r label log; do
        record_summary "$label" "$logs/$log"
    done <"$runs_log"
}

# Inside a root: CPython 3.14 or 3.15 as on this machine, built with the root's compiler.
in_root_interpreter() { # version python
    pythons[$1]=$2
    primary=none
    local venv=$root/build/venv-py$1 tree=$root/build/py$1
    make_venv "$1"
    build_and_install "$1"
    run_pytest "$venv" "$tree" "CPython $1 (Debian unstable, $(g++ -dumpfullversion))"
}

# Inside a root: the portable wheel, with the test modules built beside it.
in_root_wheel() { # python wheel test-build
    local venv=$root/build/venv-debian11-py3.9 version
    version=$("$1" -c 'import platform; print(platform.python_version())')
    [ -x "$venv/bin/python" ] || "$1" -m venv "$venv"
    install_test_packages "$venv" "$version"
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$2"
    run_pytest "$venv" "$3" \
        "portable wheel, CPython $version (Debian 11, glibc $(ldd --version | head -n 1 | grep -oE '[0-9.]+$'))"
}

# On this machine: the portable wheel for 3.9 (tools/build_wheel.sh), tested here, then
# kept in build/portable-wheel for the Debian 11 root.
portable_wheel() {
    local venv=$root/build/venv-portable-py3.9
    TESK_BUILD_TESTS=ON PYTHON=${pythons[3.9]} bash "$root/tools/build_wheel.sh" \
        "$root/build/portable-wheel"
    [ -x "$venv/bin/python" ] || "${pythons[3.9]}" -m venv "$venv"
    install_test_packages "$venv" 3.9
    check_no_machine_path "$venv/bin/python" "$root"/build/portable-wheel/tesk-*-cp39-*.whl
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps \
        "$root"/build/portable-wheel/tesk-*-cp39-*.whl
    run_pytest "$venv" "$root/build/portable-py3.9/tree" "portable wheel, CPython 3.9"
}

debian11_wheel() {
    local wheel
    wheel=$(ls "$root"/build/portable-wheel/tesk-*-cp39-*.whl)
    root_stage bullseye wheel /usr/bin/python3 "$in_root/build/portable-wheel/${wheel##*/}" \
        "$in_root/build/portable-py3.9/tree"
}

# Inside a root, this script runs one of the two above, entered by root_stage.
if [ "${1:-}" = --in-root ]; then
    trap - EXIT INT TERM
    mkdir -p "$logs"
    case $2 in
    interpreter) in_root_interpreter "$3" "$4" ;;
    wheel) in_root_wheel "$3" "$4" "$5" ;;
    esac
    exit
fi

# ---------------------------------------------------------------------------------------

mkdir -p "$logs"
stage "system packages" system_packages
stage "interpreters" choose_interpreters
stage "classifiers: the tested CPython versions" classifiers_check
for version in "${versions[@]}"; do
    if [ -n "${pythons[$version]:-}" ]; then
        stage "CPython $version: build, install, pytest" test_interpreter "$version"
    fi
done
if roots_usable; then
    stage "Debian unstable root: made or reused" make_root sid sid "$sid_packages"
    for version in "${root_versions[@]}"; do
        stage "CPython $version in the Debian unstable root: build, install, pytest" \
            root_stage sid interpreter "$version" "/usr/bin/python$version"
    done
    if [ -n "${pythons[3.9]:-}" ]; then
        stage "portable wheel (tools/build_wheel.sh, CPython 3.9): build, pytest" portable_wheel
        stage "Debian 11 root: made or reused" make_root bullseye bullseye "$bullseye_packages"
        stage "portable wheel in the Debian 11 root (glibc 2.31, its CPython 3.9): pytest" \
            debian11_wheel
    fi
elif [ "$ci" = true ]; then
    fail "CI needs root, apt-get and chroot for the Debian roots (CPython 3.14, 3.15, Debian 11)"
else
    echo "skipped: the Debian roots (CPython 3.14, 3.15 and the portable wheel on Debian 11)" \
        "need root, apt-get and chroot"
fi
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
    -m "not soak" -n auto --dist loadfile tests/python
stage "valgrind memcheck: every function, layout and failure path" \
    env PYTHON="$root/build/venv-py$primary/bin/python" bash "$root/tools/valgrind_check.sh"
stage "examples/registration.py with the examples' extras (CPython $primary)" registration_example
stage "source distribution: contents, fresh install, demo (CPython $primary)" sdist_check
