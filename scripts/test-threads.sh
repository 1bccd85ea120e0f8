#!/bin/sh
# The tests of the library from several threads (tests/archive/**/threaded_*)
# and of sorvane's threads (tests/tools/threaded_*: the order machinery in
# process, and `sorvane extract -j N`, which this build makes with the
# sanitizer too) under ThreadSanitizer. Only their programs are built, so the
# step stays short.
# Usage: scripts/test-threads.sh [build-dir]   (default build-tsan)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-tsan}"
sh scripts/install-deps.sh
CC="${CC:-clang}" CXX="${CXX:-clang++}" \
  cmake -S . -B "$build" -DTAVRIX_TESTS=ON -DTAVRIX_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target archive_thread_tests tools_thread_tests sorvane -j"$(nproc)"
# A report fails the test that made it (in a sorvane the tests run, the
# report ends it with another status and words the -j 1 run lacks); none may
# be suppressed.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$build" -R '^(ThreadedReads|ThreadedExtract)\.' --no-tests=error --output-on-failure -j"$(nproc)"
