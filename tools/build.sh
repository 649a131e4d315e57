#!/usr/bin/env bash
# Builds and runs korvo inside the toolchain root (or on a host with CPython 3.14 and the
# -dev packages). Called by ./dev; each build kind has its own folder under build/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$PWD
jobs=${KORVO_JOBS:-$(nproc)}
werror=OFF
[ -n "${CI:-}" ] && werror=ON

# configure_and_build DIR [cmake -D options...]
configure_and_build() {
  local dir=$1; shift
  cmake -S "$top" -B "$dir" -G Ninja -DKORVO_WERROR=$werror "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build_release() {
  configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_TESTS=ON "$@"
}

pytest_in() {  # pytest_in BUILD_DIR PYTHON [pytest args...]; PYTEST_SUITE: what to collect
  local dir=$1 python=$2; shift 2
  local rc=0
  PYTHONPATH="$top/$dir/python" PYTHONDONTWRITEBYTECODE=1 \
    "$python" -m pytest -p no:cacheprovider "$@" "${PYTEST_SUITE:-tests/python}" || rc=$?
  [ $rc -eq 5 ] && { echo "no Python tests collected" >&2; return 1; }
  return $rc
}

ctest_in() {  # ctest_in BUILD_DIR [ctest args...]
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

# run_under_wine CMD...: CMD with a wine prefix of the build's own and one wineserver kept
# up for the whole run (started per program, wine loses socket state and a test can hang).
run_under_wine() {
  export WINEPREFIX=$top/build/windows/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # The compiler's runtime DLLs, found by the programs at run time.
  local gcc_dir
  gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
  export WINEPATH="$gcc_dir;/usr/x86_64-w64-mingw32/lib"
  mkdir -p "$WINEPREFIX"
  # The persistent server never ends by itself: stopped however this script ends.
  trap 'wineserver -k 2>/dev/null || true' EXIT
  wineserver -p
  wineboot -i >/dev/null 2>&1
  "$@"
}

# Debian's spdlog sources, unpacked under /opt/src when the root was made.
spdlog_sources() {
  local dir
  dir=$(ls -d /opt/src/spdlog-*/ 2>/dev/null | head -n 1)
  [ -n "$dir" ] || { echo "build.sh: no spdlog sources under /opt/src (the root is made by ./dev)" >&2; exit 1; }
  echo "${dir%/}"
}

# The newest manylinux glibc level the wheel may need (RHEL 9, Ubuntu 22.04, Debian 12).
wheel_glibc_max=2.34

# build_wheel PYTHON OUT: the self-contained wheel for PYTHON's ABI into dist/: spdlog built into
# libquillet, fmt header-only, the C++ runtime static (cmake/portable.cmake); auditwheel then names
# the manylinux level it reaches.
build_wheel() {
  local python=$1 out=$2 spdlog_src wheel level
  spdlog_src=$(spdlog_sources)
  rm -rf "$out/raw" "$out/repaired"
  mkdir -p "$out"
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$python" -m build --wheel --no-isolation --outdir "$out/raw" \
    -C build-dir="$top/$out/cmake" -C cmake.define.KORVO_PORTABLE=ON \
    -C cmake.define.KORVO_SPDLOG_SOURCE_DIR="$spdlog_src" -C cmake.define.KORVO_GLIBC_MAX=$wheel_glibc_max \
    -C cmake.define.KORVO_WERROR=$werror >"$out.log" 2>&1 || { cat "$out.log" >&2; exit 1; }
  auditwheel repair --wheel-dir "$out/repaired" "$out"/raw/korvo-*.whl >>"$out.log" 2>&1 \
    || { cat "$out.log" >&2; exit 1; }
  wheel=$(ls "$out"/repaired/korvo-*.whl)
  auditwheel show "$wheel"
  level=$(basename "$wheel" | sed -nE 's/.*manylinux_2_([0-9]+)_x86_64.*/\1/p')
  if [ -z "$level" ] || [ "$level" -gt "${wheel_glibc_max#2.}" ]; then
    echo "build.sh: $wheel is not manylinux_2_${wheel_glibc_max#2.} or older" >&2; exit 1
  fi
  cp "$wheel" dist/
  echo "wheel: dist/$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
}

# The free-threaded interpreters tools/build-python-ft.sh made in the root.
python_ft=/usr/local/bin/python3.14t
python_ft_tsan=/usr/local/bin/python3.14t-tsan

# The free-threaded builds need no GoogleTest units: they do not use the interpreter.
build_ft() {
  configure_and_build build/ft -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_TESTS=ON -DKORVO_NATIVE_TESTS=OFF \
    -DPython_EXECUTABLE=$python_ft
}

cmd=${1:-test}; shift || true
case "$cmd" in
  build)
    build_release ;;
  test)
    build_release
    ctest_in build/release
    pytest_in build/release python3.14 -q "$@"
    # The whole run (no pytest arguments, as CI runs it) ends with the bridge's suite once more on
    # the interpreter's debug allocator, which overwrites what it frees: the interpreter's own reads
    # of freed memory (a type freed before its objects, at exit) then fail. Child interpreters
    # inherit it.
    if [ $# -eq 0 ]; then
      PYTHONMALLOC=debug PYTEST_SUITE=tests/python/relaybus pytest_in build/release python3.14 -q
    fi ;;
  sanitize)
    # ASan + UBSan against the debug interpreter (sys.gettotalrefcount for leak tests);
    # the interpreter is not instrumented, so the runtimes are preloaded into it.
    configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DKORVO_TESTS=ON \
      -DKORVO_SANITIZE=address,undefined -DPython_EXECUTABLE=/usr/bin/python3.14d
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest_in build/asan
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" PYTHONMALLOC=malloc \
      pytest_in build/asan python3.14d -q "$@"
    unset LD_PRELOAD
    # ThreadSanitizer on the native units (the interpreter itself is not TSan-clean).
    configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_TESTS=ON -DKORVO_SANITIZE=thread
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 KORVO_STRESS_MESSAGES=${KORVO_STRESS_MESSAGES:-400000} \
      ctest_in build/tsan ;;
  build-ft)
    build_ft ;;
  test-ft)
    # The whole pytest suite on the free-threaded interpreter (the native units do not depend on
    # the interpreter: ./dev test runs them).
    build_ft
    pytest_in build/ft $python_ft -q "$@" ;;
  tsan-ft)
    # The concurrency tests with ThreadSanitizer in the interpreter and in korvo, one runtime for
    # both; the interpreter's own known reports are suppressed by its own list. spdlog is built
    # from Debian's sources with TSan too: the packaged library's reference counting is invisible
    # to TSan, which then reports a sink's close and a write as a race.
    configure_and_build build/tsan-ft -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_TESTS=ON -DKORVO_NATIVE_TESTS=OFF \
      -DKORVO_SANITIZE=thread -DPython_EXECUTABLE=$python_ft_tsan -DKORVO_SPDLOG_SOURCE_DIR="$(spdlog_sources)"
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(dirname "$(readlink -f $python_ft_tsan)")/../share/tsan-suppressions.txt" \
      pytest_in build/tsan-ft $python_ft_tsan -q -m free_threading "$@" ;;
  bench)
    configure_and_build build/bench -DCMAKE_BUILD_TYPE=Release -DKORVO_TESTS=ON -DKORVO_BENCH=ON
    # The same modules for the free-threaded interpreter: bench/threads_bench.py compares the two.
    configure_and_build build/bench-ft -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$python_ft
    export KORVO_BUILD_DEFAULT=$top/build/bench/python KORVO_BUILD_FT=$top/build/bench-ft/python \
      KORVO_PYTHON_FT=$python_ft
    # Every benchmark appends its rows here; the report turns one run's rows into the table,
    # the chart and the README's copy of the table.
    export KORVO_BENCH_RESULTS=$top/build/bench/results.jsonl
    # Names the run in each row: the report takes one run's rows only and says when it began.
    KORVO_BENCH_RUN=$(date -u +%Y-%m-%dT%H:%M:%SZ)
    export KORVO_BENCH_RUN
    rm -f "$KORVO_BENCH_RESULTS"
    for exe in build/bench/bench/*_bench; do [ -x "$exe" ] && { echo "== $exe"; "$exe"; }; done
    for script in bench/*_bench.py; do
      [ -f "$script" ] && { echo "== $script"; PYTHONPATH="$top/build/bench/python" python3.14 "$script"; }
    done
    python3.14 bench/report.py "$KORVO_BENCH_RESULTS" bench/results --readme README.md ;;
  format)
    # Every C++ source and header of the checkout against .clang-format; --check changes
    # nothing and fails on the first file that differs.
    mapfile -t sources < <(find src include lib tests examples bench \( -name '*.cpp' -o -name '*.hpp' \) | sort)
    case "${1:-}" in
      --check) clang-format --dry-run --Werror "${sources[@]}" ;;
      "") clang-format -i "${sources[@]}" ;;
      *) echo "build.sh: usage: format [--check]" >&2; exit 2 ;;
    esac ;;
  demo)
    # Only what the demo runs: the three modules, the example producer and the demo's
    # baseline feed, no test suite. The compiler's output goes to a log unless the build fails.
    case " $* " in
      *" -h "*|*" --help "*) ;;
      *)
        mkdir -p build
        echo "demo: building korvo, the example producer and the demo's baseline feed (build/demo)" >&2
        if ! configure_and_build build/demo -DCMAKE_BUILD_TYPE=Release -DKORVO_EXAMPLES=ON \
            >build/demo-build.log 2>&1; then
          cat build/demo-build.log >&2; exit 1
        fi ;;
    esac
    PYTHONPATH="$top/build/demo/python" python3.14 examples/demo/demo.py "$@" ;;
  wheel)
    # One wheel per interpreter ABI: cp314 and the free-threaded cp314t.
    mkdir -p dist
    rm -f dist/korvo-*.whl
    build_wheel python3.14 build/wheel
    build_wheel python3.14t build/wheel-ft ;;
  windows)
    # Inside the Windows root: the native cores cross-built with mingw-w64, their tests under wine.
    spdlog_src=$(spdlog_sources)
    configure_and_build build/windows -DCMAKE_BUILD_TYPE=Release -DKORVO_TESTS=ON -DKORVO_NATIVE_ONLY=ON \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DKORVO_SPDLOG_SOURCE_DIR="$spdlog_src" -DKORVO_GTEST_SOURCE_DIR=/usr/src/googletest
    run_under_wine ctest_in build/windows --timeout 600 "$@" ;;
  *) echo "build.sh: unknown command '$cmd'" >&2; exit 2 ;;
esac
