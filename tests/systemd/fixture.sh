#!/usr/bin/env bash
# The container the systemd cases share (see CMakeLists.txt).
# Usage:
#   fixture.sh up STATE STAGE SOURCE PACKAGE_DIR FILE...
#       stages the package that PACKAGE_DIR holds, the plugin libraries and
#       example description files among FILE..., and description files of the
#       test plugins; boots a container with scripts/container and installs
#       the package into it with its dependencies
#   fixture.sh down STATE STAGE SOURCE
#       removes the container and fails when anything of it is left
# Exits 77 with the reason where no container can run.
set -euo pipefail

command=$1 state=$2 stage=$3 source=$4
shift 4
rig=$source/scripts/container

# Where the container's copies of the plugin libraries lie: owned by root and
# writable by nobody else, as the service demands of what it opens.
libraries=/usr/lib/zokorvo-test

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

reason=$("$rig" check) || { echo "skipped: $reason"; exit 77; }

# describe FILE NAME LIBRARY [KEY=VALUE...]: a test plugin's description file.
describe() {
    local file=$1 name=$2 library=$3
    shift 3
    printf '%s\n' "[Service]" "Name=$name" "Path=$libraries/$library" "$@" \
        >"$stage/descriptions/$file"
}

describeTestPlugins() {
    describe alpha.ini Alpha libzo_test_plugin_alpha.so \
        Initialize=AlphaInit Stop=AlphaStop Cleanup=AlphaCleanup
    describe beta.ini Beta libzo_test_plugin_beta.so Dependencies=Alpha \
        Initialize=BetaInit Stop=BetaStop Cleanup=BetaCleanup
    describe gamma.ini Gamma libzo_test_plugin_gamma.so Dependencies=Beta \
        Initialize=GammaInit Stop=GammaStop Cleanup=GammaCleanup
    describe failing.ini Failing libzo_test_plugin_failing.so Initialize=FailingInit
    describe slow.ini Slow libzo_test_plugin_sleepy.so Initialize=SleepyInit
    describe lingerer.ini Lingerer libzo_test_plugin_lingerer.so Initialize=LingererInit
    describe stuck.ini Stuck libzo_test_plugin_stuck.so Initialize=StuckInit
    describe crasher.ini Crasher libzo_test_plugin_crasher.so Initialize=CrasherInit
    describe exiter.ini Exiter libzo_test_plugin_exiter.so Initialize=ExiterInit
    describe lateCrasher.ini LateCrasher libzo_test_plugin_lateCrasher.so Initialize=LateCrasherInit
    # Plugins in processes of their own: one that crashes half a second
    # after its Initialize, one that says, on its standard output, who it runs as.
    describe isoCrasher.ini IsoCrasher libzo_test_plugin_isoCrasher.so Dependencies=Alpha \
        Initialize=IsoCrasherInit Stop=IsoCrasherStop Cleanup=IsoCrasherCleanup Isolation=process
    describe isoIdentity.ini IsoIdentity libzo_test_plugin_isoIdentity.so \
        Initialize=IsoIdentityInit Stop=IsoIdentityStop Isolation=process User=nobody
}

# The package, the libraries and every description file, in STAGE, which the
# container sees read-only at /stage.
stageFiles() {
    local packageDirectory=$1
    shift
    rm -rf "$stage"
    mkdir -p "$stage/lib" "$stage/descriptions"
    local debs=("$packageDirectory"/*.deb)
    [ -f "${debs[0]}" ] || fail "no package in $packageDirectory"
    cp "${debs[0]}" "$stage/package.deb"
    local file
    for file in "$@"; do
        case $file in
            *.so) cp "$file" "$stage/lib/" ;;
            # The example descriptions name their libraries by bare file name.
            *.ini) sed "s|^Path=|Path=$libraries/|" "$file" >"$stage/descriptions/$(basename "$file")" ;;
            *) fail "what is $file?" ;;
        esac
    done
    describeTestPlugins
}

up() {
    local packageDirectory=$1
    shift
    # A container a killed run left behind goes first.
    "$rig" down "$state"
    stageFiles "$packageDirectory" "$@"
    local osRoot
    osRoot=$("$rig" root "$stage/package.deb")
    # Removed again when anything below fails: the cleanup test may never run.
    trap '[ $? -eq 0 ] || "$rig" down "$state"' EXIT
    "$rig" up "$state" "$stage" "$osRoot"
    "$rig" install "$state" "$stage/package.deb"
    "$rig" run "$state" sh -c "install -d -m 0755 $libraries && cp /stage/lib/*.so $libraries/"
    trap - EXIT
    echo "booted $osRoot with $("$rig" run "$state" systemctl --version | head -1)"
}

down() {
    "$rig" down "$state"
    "$rig" leftovers "$state" || fail "the container left the above behind"
    echo "no container, process, mount or cgroup left"
}

case $command in
    up) up "$@" ;;
    down) down ;;
    *) fail "unknown command $command" ;;
esac
