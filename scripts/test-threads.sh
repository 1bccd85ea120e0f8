#!/bin/sh
# The tests of the library from several threads (tests/archive/**/threaded_*)
# under ThreadSanitizer. Only their program is built, so the step stays short.
# Usage: scripts/test-threads.sh [build-dir]   (default build-tsan)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-tsan}"
sh scripts/install-deps.sh
CC="${CC:-clang}" CXX="${CXX:-clang++}" \
  cmake -S . -B "$build" -DTAVRIX_TESTS=ON -DTAVRIX_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target archive_thread_tests -j"$(nproc)"
# A report fails the test that made it; none may be suppressed.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$build" -R '^Threaded(Reads|Adds)\.' --no-tests=error --output-on-failure -j"$(nproc)"
