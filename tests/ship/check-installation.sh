#!/usr/bin/env bash
# Checks of the installed tree that `cmake --install` lays into a prefix.
# Usage: check-installation.sh CHECK ARGS...
#   install BUILD_DIR PREFIX      installs the build into an empty PREFIX
#   usage PREFIX                  the installed executable runs -h
#   unit PREFIX                   the systemd unit parses and says what it must
#   tmpfiles PREFIX WORK_DIR      the tmpfiles.d entry creates the status directory
#   manual PREFIX                 the manual page renders without warnings
#   kit PREFIX WORK_DIR SERVICE TEST_ROOT POINTER_FILE STATUS_DIR STANDIN
#                                 the example plugins, built from the installed
#                                 kit alone in a fresh directory, start in
#                                 the test variant SERVICE of the service
# Each check prints what failed and exits non-zero.
set -euo pipefail

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

expect_line() {  # FILE LINE: FILE holds LINE as a whole line
    grep -qxF -- "$2" "$1" || fail "$1 lacks the line: $2"
}

check_install() {
    local build=$1 prefix=$2
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >/dev/null
}

check_usage() {
    local prefix=$1 expected
    expected=$(printf '%s\n' \
        "Usage: zoKorvoRemoteService [OPTIONS]" \
        "  -d, --daemon   use daemon(3) to run in the background" \
        "      --start-step-limit SECONDS" \
        "                 stop extending the service manager's start timeout once" \
        "                 one plugin step has run this long (1 to 300, default 120)" \
        "      --metrics-file PATH" \
        "                 also write the status as Prometheus metrics to PATH (absolute)," \
        "                 e.g. in node_exporter's textfile directory" \
        "      --metrics-interval SECONDS" \
        "                 rewrite the metrics file at least this often while the" \
        "                 service runs (1 to 86400, default 60)" \
        "  -h, --help     display this help and exit")
    # Run from elsewhere, so that only the installed tree's run path can
    # make the system configuration library found.
    local output
    output=$(cd / && "$prefix/sbin/zoKorvoRemoteService" -h) || fail "-h did not exit 0"
    [ "$output" = "$expected" ] || fail "-h printed: $output"
}

check_unit() {
    local prefix=$1
    local unit=$prefix/lib/systemd/system/zoKorvoRemoteService.service
    [ -f "$unit" ] || fail "no unit at $unit"
    expect_line "$unit" "ExecStart=$prefix/sbin/zoKorvoRemoteService"
    expect_line "$unit" "RuntimeDirectory=zoKorvoRemoteService"
    expect_line "$unit" "RuntimeDirectoryPreserve=yes"
    expect_line "$unit" "Restart=on-failure"
    expect_line "$unit" "WantedBy=multi-user.target"
    expect_line "$unit" "Type=notify"
    expect_line "$unit" "NotifyAccess=main"
        if grep -q '^WatchdogSec=' "$unit"; then
        fail "the unit sets a watchdog; that is the administrator's choice"
    fi
    if grep -q '^ExecStart=.* -d' "$unit"; then
        fail "the unit detaches the service"
    fi
    if command -v systemd-analyze >/dev/null; then
        # verify exits 0 on unknown keys and bad values too; it only warns.
        local warnings
        warnings=$(systemd-analyze verify --man=no "$unit" 2>&1) ||
            fail "systemd-analyze verify: $warnings"
        [ -z "$warnings" ] || fail "systemd-analyze verify: $warnings"
    else
        echo "systemd-analyze is not installed: checked the unit's keys only"
    fi
}

check_tmpfiles() {
    local prefix=$1 work=$2
    local entry=$prefix/lib/tmpfiles.d/zoKorvoRemoteService.conf
    [ -f "$entry" ] || fail "no tmpfiles.d entry at $entry"
    expect_line "$entry" "d /run/zoKorvoRemoteService 0755 root root -"
    if command -v systemd-tmpfiles >/dev/null; then
        local root=$work/tmpfiles-root
        rm -rf "$root"
        mkdir -p "$root/run"
        systemd-tmpfiles --create --root="$root" "$entry"
        [ "$(stat -c %a "$root/run/zoKorvoRemoteService")" = 755 ] ||
            fail "systemd-tmpfiles did not create the status directory with mode 0755"
    fi
}

check_manual() {
    local prefix=$1
    local page=$prefix/share/man/man8/zoKorvoRemoteService.8.gz
    [ -f "$page" ] || fail "no manual page at $page"
    local warnings
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || fail "groff: $warnings"
    [ -z "$warnings" ] || fail "groff: $warnings"
    local text
    text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$page.warnings") || fail "man -l failed"
    [ ! -s "$page.warnings" ] || fail "man: $(cat "$page.warnings")"
    rm -f "$page.warnings"
    local section
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES SIGNALS "EXIT STATUS" EXAMPLE \
        "SEE ALSO"; do
        grep -qx "$section" <<<"$text" || fail "the manual page has no section $section"
    done
}

# The example sources as installed, copied into a fresh directory and built
# with their Makefile against the installed header; their description files
# then name the fresh libraries by absolute path.
build_examples_from_kit() {
    local prefix=$1 fresh=$2
    cp "$prefix"/share/doc/zokorvoremoteservice/examples/* "$fresh"
    make -s -C "$fresh" KIT="$prefix/include" >/dev/null
    local library
    for library in Clock Greeter Deployer; do
        nm -D --defined-only "$fresh/libzoExample$library.so" |
            grep -q " T zoExample${library}Initialize$" ||
            fail "libzoExample$library.so does not export its Initialize"
        # A GNU unique symbol would keep the library mapped for ever.
        ! readelf -sW "$fresh/libzoExample$library.so" | grep -q ' UNIQUE ' ||
            fail "libzoExample$library.so has a GNU unique symbol"
    done
    [ -f "$prefix/share/zoKorvoRemoteService/zoKorvoPlugin.cmake" ] ||
        fail "the kit's CMake file is not installed"
    grep -q -- '-fno-gnu-unique' "$prefix/share/pkgconfig/zoKorvoPlugin.pc" ||
        fail "the kit's pkg-config file does not give -fno-gnu-unique"
    sed -i "s|^Path=|Path=$fresh/|" "$fresh"/*.ini
}

# Runs SERVICE until the start pass is over, then stops it with SIGTERM.
# Prints the status file after the start and after the stop.
run_service() {
    local service=$1 status=$2 journal=$3
    ZO_EXAMPLE_JOURNAL=$journal "$service" &
    local pid=$! waited=0
    until grep -qs "^Loaded From: " "$status"; do
        sleep 0.05
        waited=$((waited + 1))
        if [ $waited -gt 400 ]; then
            kill -KILL $pid
            fail "no plugin block in the status file after 20 s"
        fi
    done
    cp "$status" "$status.started"
    kill -TERM $pid
    local code=0
    wait $pid || code=$?
    [ $code -eq 143 ] || fail "the service ended with $code, not by SIGTERM"
}

check_kit() {
    local prefix=$1 work=$2 service=$3 root=$4 pointer=$5 statusDir=$6 standin=$7
    local fresh
    fresh=$(mktemp -d "$work/kit.XXXXXX")

    # The header on its own, in C and in C++.
    printf '#include <zoKorvoPlugin.h>\nZO_KORVO_PLUGIN_INITIALIZE(i) { return 0; }\n' \
        >"$fresh/alone.c"
    cc -std=c99 -pedantic -Wall -Wextra -Werror -I"$prefix/include/zoKorvoRemoteService" \
        -c "$fresh/alone.c" -o "$fresh/alone-c.o"
    c++ -std=c++11 -x c++ -Wall -Wextra -Werror -I"$prefix/include/zoKorvoRemoteService" \
        -c "$fresh/alone.c" -o "$fresh/alone-cpp.o"
    grep -q " T i$" <<<"$(nm "$fresh/alone-cpp.o")" || fail "C++ does not export i with C linkage"

    build_examples_from_kit "$prefix" "$fresh"

    rm -rf "$root"
    local plugins=$root/share/KorvoRemoteService/plugins
    mkdir -p "$plugins" "$statusDir" "$(dirname "$pointer")"
    echo "$root/share" >"$pointer"
    cp "$fresh"/clock.ini "$fresh"/greeter.ini "$plugins"
    # The Deployer's start depends on the platform's deployment setting,
    # known only with the stand-in.
    if [ "$standin" = ON ]; then
        cp "$fresh"/deployer.ini "$plugins"
    fi
    local status=$statusDir/zoKorvoRemoteService.status
    run_service "$service" "$status" "$root/journal"

    local file
    for file in "$status.started" "$status"; do
        expect_line "$file" "Loaded From: $fresh/libzoExampleClock.so"
        expect_line "$file" "Loaded From: $fresh/libzoExampleGreeter.so"
        expect_line "$file" "zoExampleGreeterInitialize Code: 1"
        if [ "$standin" = ON ]; then
            expect_line "$file" "Allowed: 0xffffffff"
            expect_line "$file" "Loaded From: $fresh/libzoExampleDeployer.so"
        fi
        if grep -q "Code: -" "$file"; then
            fail "a plugin failed: $(cat "$file")"
        fi
    done
    expect_line "$root/journal" "Clock: ticking every 100 ms"
    expect_line "$root/journal" "Greeter: Hello from the Greeter (the default greeting)"
    expect_line "$root/journal" "Clock: cleaned up"
    rm -rf "$fresh"
}

check=$1
shift
case "$check" in
install) check_install "$@" ;;
usage) check_usage "$@" ;;
unit) check_unit "$@" ;;
tmpfiles) check_tmpfiles "$@" ;;
manual) check_manual "$@" ;;
kit) check_kit "$@" ;;
*) fail "unknown check $check" ;;
esac
echo "passed: $check"
