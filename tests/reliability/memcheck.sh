#!/usr/bin/env bash
# Runs end-to-end test executables with every service process they start
# under valgrind memcheck, through ZO_TEST_SERVICE_WRAPPER, one log file per
# process. Fails when a test fails or when any log counts an error: an
# invalid access, a use of uninitialised memory or a definite leak. A service
# that ends by its signal is checked too: valgrind writes the summary before
# the process goes. Usage: memcheck.sh VALGRIND LOG_DIRECTORY FILTER TEST...
# where FILTER (--gtest_filter=...) selects the cases of every TEST. An empty
# VALGRIND (not installed) skips: exit status 77.
set -u
if [ -z "$1" ]; then
    echo "skipped: valgrind is not installed (Debian package valgrind)"
    exit 77
fi
valgrind=$1
logs=$2
filter=$3
shift 3
rm -rf "$logs"
mkdir -p "$logs"

# The wrapper is split at spaces: the log directory must have none.
# The loader's judge brings a second copy of the C library, which valgrind
# does not replace: its freeing at exit would free what valgrind allocated,
# and its string functions' reads are no errors of the service's
# (loader-judge.supp says which).
here=$(cd "$(dirname "$0")" && pwd)
export ZO_TEST_SERVICE_WRAPPER="$valgrind --error-exitcode=99 --leak-check=full
    --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes
    --run-libc-freeres=no --suppressions=$here/loader-judge.supp
    --log-file=$logs/service.%p.log"

failed=0
for test in "$@"; do
    echo "== $(basename "$test") with the service under valgrind"
    "$test" --gtest_brief=1 "$filter" || failed=1
done

summaries=$(grep -l "ERROR SUMMARY:" "$logs"/service.*.log 2>/dev/null | wc -l)
withErrors=$(grep -L "ERROR SUMMARY: 0 errors" "$logs"/service.*.log 2>/dev/null |
    xargs -r grep -l "ERROR SUMMARY:" || true)
for log in $withErrors; do
    echo "== $log"
    cat "$log"
    failed=1
done
echo "memcheck: $summaries service processes checked, $(echo "$withErrors" | wc -w) with errors"
if [ "$summaries" -eq 0 ]; then
    echo "memcheck: no service process ran under valgrind"
    failed=1
fi
exit $failed
