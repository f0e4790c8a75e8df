#!/usr/bin/env bash
# Builds tesk once, installs it, and runs every test: the native GoogleTest suite, and
# pytest under the newest NumPy 2 and under NumPy 1.26, each in its own virtual
# environment, both importing the same wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/tests
python=${PYTHON:-python3}

section() { printf '\n=== %s ===\n' "$*"; }

section "system packages"
if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi

section "wheel (built once, against NumPy 2 headers)"
rm -rf "$root/build/wheelhouse"
"$python" -m pip wheel --no-deps -q -w "$root/build/wheelhouse" "$root"
wheel=$(ls "$root"/build/wheelhouse/tesk-*.whl)
"$python" -m pip install -q --force-reinstall --no-deps "$wheel"
"$python" -m pip install -q "numpy>=2" pytest hypothesis

section "test build (native tests, testing module, entropy interposer)"
"$python" -m pip install -q cmake ninja
cmake -S "$root" -B "$build" -G Ninja -DTESK_BUILD_TESTS=ON -DTESK_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" -j2

section "native tests"
"$build/tests/tesk_native_tests" --gtest_brief=1

run_pytest() {  # venv-name numpy-requirement
    local venv=$root/build/$1
    section "pytest with $2"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade "$2" pytest hypothesis
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    (cd "$root" && TESK_BUILD_DIR="$build" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python)
}
run_pytest venv-numpy2 "numpy>=2"
run_pytest venv-numpy1 "numpy==1.26.*"

section "typing: the stub in the wheel, mypy --strict on the examples, stubtest"
stubs=$("$python" -m zipfile -l "$wheel" | grep -cE '^(tesk\.pyi|tesk-stubs/__init__\.pyi) ' || true)
[ "$stubs" -eq 2 ] || { echo "the wheel lacks its type stubs" >&2; exit 1; }
typing_python=$root/build/venv-numpy2/bin/python  # the wheel installed, as users meet it
"$typing_python" -m pip install -q mypy
(cd "$root" && MYPY_CACHE_DIR="$root/build/mypy-cache" "$typing_python" -m mypy --strict examples/)
(cd "$root/build" && "$typing_python" -m mypy.stubtest tesk)  # its cache lands in build/

section "AddressSanitizer and UndefinedBehaviorSanitizer: native tests and the whole pytest suite"
PYTHON="$python" bash "$root/tools/sanitize.sh"

section "valgrind memcheck: every function, layout and failure path"
PYTHON="$python" bash "$root/tools/valgrind_check.sh"
