#!/bin/sh
# The tests of the library from several threads (tests/archive/**/threaded_*)
# and of sorvane's threads (tests/tools/threaded_*: the order machinery in
# process, and `sorvane extract -j N`, which this build makes with the
# sanitizer too) and of sorvane mount (tests/tools/mount_*: the mount serves
# reads from several threads) under ThreadSanitizer. Only their programs are
# built, so the step stays short.
# Usage: scripts/test-threads.sh [build-dir]   (default build-tsan)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-tsan}"
sh scripts/install-deps.sh
CC="${CC:-clang}" CXX="${CXX:-clang++}" \
  cmake -S . -B "$build" -DTAVRIX_TESTS=ON -DTAVRIX_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target archive_thread_tests tools_thread_tests mount_tests sorvane -j"$(nproc)"
# A report fails the test that made it (in a sorvane the tests run, the
# report ends it with another status and words the -j 1 run lacks); none may
# be suppressed. The mounts' background processes have no terminal: every
# report goes to a file, and any file there fails the step.
reports="$(cd "$build" && pwd)/tsan-reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$reports/report" \
  ctest --test-dir "$build" -R '^(ThreadedReads|ThreadedAdds|ThreadedExtract|MountTest)\.' --no-tests=error --output-on-failure \
    -j"$(nproc)" || status=$?
for report in "$reports"/report*; do
  [ -e "$report" ] || continue
  echo "ThreadSanitizer report ($report):"
  cat "$report"
  status=1
done
exit "$status"
