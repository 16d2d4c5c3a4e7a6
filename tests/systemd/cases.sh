#!/usr/bin/env bash
# The service under a real systemd, in the container that fixture.sh booted:
# the package's own unit, the example plugins and test plugins.
# Usage: cases.sh CASE STATE SOURCE
# Each case first resets the unit (stopped, no drop-in, no plugin), so that
# nothing an earlier case left, failed or not, decides its outcome. A case whose feature the installed
# service lacks skips (exit 77) and names it; ZO_CONTAINER_EXPECT_ALL=1 runs
# it all the same, to show what fails without the feature.
set -euo pipefail

case=$1 state=$2 source=$3
rig=$source/scripts/container

unit=zoKorvoRemoteService.service
service=/usr/sbin/zoKorvoRemoteService
plugins=/usr/local/zorix/share/KorvoRemoteService/plugins
statusFile=/run/zoKorvoRemoteService/zoKorvoRemoteService.status
dropIns=/etc/systemd/system/$unit.d
callLog=/run/zo-rig/calls.log

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

reason=$("$rig" check) || { echo "skipped: $reason"; exit 77; }
[ -e "$state/leader.pid" ] || fail "no container: the fixture did not boot it"

inside() { "$rig" run "$state" "$@"; }
# A reload whose READY=1 never comes blocks systemctl for good: every call of
# it is bounded.
ctl() { inside timeout 60 systemctl --no-ask-password "$@"; }
property() { ctl show -p "$1" --value "$unit"; }
statusText() { property StatusText; }
now() { date +%s.%N; }
secondsSince() { awk -v since="$1" -v now="$(now)" 'BEGIN { printf "%.1f", now - since }'; }
atMost() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }

requireFeature() {  # WHAT CONDITION...
    local what=$1
    shift
    "$@" || [ "${ZO_CONTAINER_EXPECT_ALL:-0}" = 1 ] ||
        { echo "skipped: the service lacks $what"; exit 77; }
}
# Whether TEXT holds PATTERN. The text is taken whole first: under pipefail,
# "producer | grep -q" fails when grep's early exit breaks the producer's pipe.
holds() { grep -q -- "$2" <<<"$1"; }
hasOption() { holds "$(inside "$service" --help)" "$1"; }
canReload() { [ "$(property CanReload)" = yes ]; }

# waitUntil SECONDS WHAT COMMAND...: polls COMMAND every 0.2 s.
waitUntil() {
    local seconds=$1 what=$2 deadline
    shift 2
    deadline=$(awk -v now="$(now)" -v seconds="$seconds" 'BEGIN { printf "%.3f", now + seconds }')
    until "$@"; do
        atMost "$(now)" "$deadline" || fail "not within $seconds s: $what"
        sleep 0.2
    done
}
isActive() { [ "$(property ActiveState)" = "$1" ]; }
statusSays() { holds "$(statusText)" "$1"; }

expectEqual() {  # WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# usePlugins DESCRIPTION...: the plugins directory holds just these files.
usePlugins() {
    local files="" name
    for name in "$@"; do
        files+=" /stage/descriptions/$name.ini"
    done
    inside sh -c "rm -rf $plugins && install -d -m 0755 $plugins && cp $files $plugins/"
}

# dropIn NAME LINE...: a drop-in of the unit's [Service] section.
dropIn() {
    local name=$1
    shift
    inside sh -c "mkdir -p $dropIns && cat >$dropIns/$name.conf" < <(printf '%s\n' "[Service]" "$@")
    ctl daemon-reload
}

isStopped() { isActive inactive || isActive failed; }

# A stop that hangs (the fault some cases look for) is ended by SIGKILL.
resetUnit() {
    ctl stop --no-block "$unit"
    if ! (waitUntil 20 "stopped" isStopped) 2>/dev/null; then
        ctl kill -s KILL "$unit"
        waitUntil 20 "stopped by SIGKILL" isStopped
    fi
    inside sh -c "rm -rf $dropIns /run/zo-rig $plugins /core*"
    inside mkdir -p /run/zo-rig
    dropIn 00-rig "Environment=ZO_TEST_PLUGIN_LOG=$callLog ZO_EXAMPLE_JOURNAL=/run/zo-rig/examples.log"
    ctl reset-failed "$unit" 2>/dev/null || true
}

calls() { inside cat "$callLog" 2>/dev/null || true; }

StartWaitsForEveryPluginAndSummarises() {
    usePlugins clock greeter deployer slow
    local started
    started=$(now)
    ctl start "$unit"
    local took
    took=$(secondsSince "$started")
    atMost 3 "$took" || fail "systemctl start returned after $took s, before Slow's 3 s Initialize ended"
    expectEqual "state once started" active "$(property ActiveState)"
    expectEqual "Status:" "Plugins: 4 started, 0 refused, 0 failed" "$(statusText)"
    local blocks
    blocks=$(inside grep -c '^Loaded From: ' "$statusFile")
    expectEqual "plugin blocks in the status file when start returned" 4 "$blocks"
}

SlowInitializeIsNamedWhileItRuns() {
    usePlugins clock slow
    ctl start --no-block "$unit"
    waitUntil 5 "Status: names the slow Initialize" statusSays "Initialize of plugin Slow running for "
    { inside timeout 60 systemctl status --no-pager "$unit" || true; } | grep 'Status:'
    waitUntil 10 "started after the slow Initialize" isActive active
    expectEqual "Status:" "Plugins: 2 started, 0 refused, 0 failed" "$(statusText)"
}

StopRunsEveryStopThenEveryCleanupInReverse() {
    usePlugins gamma beta alpha failing
    ctl start "$unit"
    expectEqual "Status:" "Plugins: 3 started, 0 refused, 1 failed" "$(statusText)"
    ctl stop "$unit"
    expectEqual "result of the stop" success "$(property Result)"
    expectEqual "state after the stop" inactive "$(property ActiveState)"
    local expected
    # The call log names each plugin by its library.
    expected=$(printf '%s\n' "alpha Initialize" "beta Initialize" "failing Initialize" \
        "gamma Initialize" "gamma Stop" "beta Stop" "alpha Stop" \
        "gamma Cleanup" "beta Cleanup" "alpha Cleanup")
    expectEqual "the plugins' calls" "$expected" "$(calls)"
}

UnitCreatesAndKeepsTheStatusDirectory() {
    inside rm -rf /run/zoKorvoRemoteService
    usePlugins alpha
    ctl start "$unit"
    expectEqual "status directory" "755 root root" \
        "$(inside stat -c '%a %U %G' /run/zoKorvoRemoteService)"
    ctl stop "$unit"
    inside grep -q '^Loaded From: ' "$statusFile" || fail "the final status file is gone after the stop"
}

WatchdogKeepsAHealthyServiceRunning() {
    dropIn 50-watchdog WatchdogSec=2s
    usePlugins clock greeter
    ctl start "$unit"
    local mainPid
    mainPid=$(property MainPID)
    expectEqual "watchdog interval" 2s "$(property WatchdogUSec)"
    sleep 5
    expectEqual "state after two and a half watchdog intervals" active "$(property ActiveState)"
    expectEqual "main process after two and a half watchdog intervals" "$mainPid" "$(property MainPID)"
    expectEqual "restarts" 0 "$(property NRestarts)"
}

hasRestarted() { [ "$(property NRestarts)" -ge 1 ]; }
journalSaysSegv() { holds "$(inside journalctl -u "$unit" --no-pager -o cat)" 'status=11/SEGV'; }

statusFileSays() { holds "$(inside cat "$statusFile")" "$1"; }
identityInJournal() {
    holds "$(inside journalctl -t IsoIdentity --no-pager -o cat)" "isoIdentity Identity euid=65534 egid=65534 regained=0"
}

IsolatedPluginCrashLeavesTheUnitActiveAndItsOutputInTheJournal() {
    requireFeature "Isolation=process" inside test -x /usr/lib/zokorvoremoteservice/zoKorvoPluginHost
    usePlugins alpha isoCrasher isoIdentity
    ctl start "$unit"
    local mainPid
    mainPid=$(property MainPID)
    waitUntil 20 "the crash of IsoCrasher's own process in the status file" \
        statusFileSays "Plugin IsoCrasher (process "
    statusFileSays "ended by SIGSEGV; not restarted (Restart=no)" ||
        fail "the status file does not name the signal: $(inside cat "$statusFile")"
    expectEqual "state after the isolated crash" active "$(property ActiveState)"
    expectEqual "main process after the isolated crash" "$mainPid" "$(property MainPID)"
    holds "$(calls)" "alpha Stop" && fail "Alpha was stopped by another plugin's crash"
    waitUntil 10 "IsoIdentity's output in the journal under its name" identityInJournal
    ctl stop "$unit"
    expectEqual "result of the stop" success "$(property Result)"
}

CrashIsRestartedAfterRestartSec() {
    dropIn 50-restart RestartSec=2s LimitCORE=infinity
    usePlugins alpha crasher
    ctl start "$unit" && fail "systemctl start succeeded although Crasher's Initialize crashes"
    local crashed took
    crashed=$(now)
    waitUntil 10 "a restart" hasRestarted
    took=$(secondsSince "$crashed")
    atMost 1.5 "$took" || fail "restarted $took s after the crash, RestartSec=2s"
    ctl stop "$unit"
    coreDumpNames CrasherInit
    waitUntil 5 "the journal says that the main process died of SIGSEGV" journalSaysSegv
}

# With --start-step-limit L the service stops extending the start after L
# seconds of one step; the manager's own start timeout then ends the start,
# at the latest when its last extension (10 s) runs out. A service without
# the option (ZO_CONTAINER_EXPECT_ALL) runs with the unit's own command.
HungInitializeEndsTheStartWithinItsBound() {
    requireFeature "--start-step-limit" hasOption --start-step-limit
    local command=()
    hasOption --start-step-limit &&
        command=("ExecStart=" "ExecStart=$service --start-step-limit 2")
    dropIn 50-hang "${command[@]}" TimeoutStartSec=3s Restart=no LimitCORE=infinity
    usePlugins alpha stuck
    local started took
    started=$(now)
    ctl start "$unit" && fail "the start with a hung Initialize succeeded"
    took=$(secondsSince "$started")
    atMost "$took" 20 || fail "the start ended after $took s, not within 2 + 10 + 3 s"
    expectEqual "result" timeout "$(property Result)"
    expectEqual "signal that ended it" 6 "$(property ExecMainStatus)"
    coreDumpNames StuckInit
}

# coreDumpNames FUNCTION: the last core dump's stacks name FUNCTION. The core
# lands where the kernel's core_pattern says: with a plain file name, in the
# service's working directory, which the container keeps.
coreDumpNames() {
    local function=$1 leader core
    leader=$(cat "$state/leader.pid")
    core=$(find "/proc/$leader/root/" -maxdepth 1 -name 'core*' -type f | head -1)
    if [ -z "$core" ] || ! command -v gdb >/dev/null; then
        echo "no core dump to read (core_pattern $(cat /proc/sys/kernel/core_pattern))"
        return
    fi
    gdb -batch -iex "set sysroot /proc/$leader/root" -ex "thread apply all bt" \
        "/proc/$leader/root$service" "$core" >"$state/core-stacks.txt" 2>&1 || true
    grep -q "$function" "$state/core-stacks.txt" ||
        fail "the core dump's stacks name no $function: $state/core-stacks.txt"
    echo "the core dump names $function"
}

StopDuringAHungInitializeEndsWithinTimeoutStopSec() {
    requireFeature "--start-step-limit" hasOption --start-step-limit
    dropIn 50-hang TimeoutStopSec=3s Restart=no
    usePlugins alpha stuck
    ctl start --no-block "$unit"
    waitUntil 5 "Status: names the hung Initialize" statusSays "Initialize of plugin Stuck running for "
    local started took
    started=$(now)
    ctl stop "$unit" || true
    took=$(secondsSince "$started")
    atMost "$took" 8 || fail "the stop took $took s, TimeoutStopSec=3s"
    isStopped || fail "still $(property ActiveState) after the stop"
}

ReloadKeepsRestartsAndStartsPlugins() {
    requireFeature "a reload (the unit cannot reload)" canReload
    usePlugins alpha beta
    ctl start "$unit"
    local mainPid
    mainPid=$(property MainPID)
    # Beta's description changes, Slow (3 s) and Gamma come new.
    inside sh -c "sed -i 's/^Name=Beta$/Name=Beta\nRequires=3/' $plugins/beta.ini"
    inside cp /stage/descriptions/gamma.ini /stage/descriptions/slow.ini "$plugins/"
    inside truncate -s 0 "$callLog"
    ctl reload --no-block "$unit"
    waitUntil 3 "the manager sees the reload (RELOADING=1)" isActive reloading
    waitUntil 20 "the reload ends (READY=1)" isActive active
    expectEqual "main process" "$mainPid" "$(property MainPID)"
    local expected
    expected=$(printf '%s\n' "beta Stop" "beta Cleanup" "beta Initialize" "gamma Initialize")
    expectEqual "calls of the reload" "$expected" "$(calls | grep -v '^sleepy')"
    expectEqual "Status:" "Plugins: 4 started, 0 refused, 0 failed" "$(statusText)"
    ctl reload "$unit"
}

HangupSignalReloadsInsteadOfEnding() {
    requireFeature "a reload (the unit cannot reload)" canReload
    usePlugins alpha
    ctl start "$unit"
    local mainPid
    mainPid=$(property MainPID)
    ctl kill -s HUP "$unit"
    sleep 2
    expectEqual "state after SIGHUP" active "$(property ActiveState)"
    expectEqual "main process after SIGHUP" "$mainPid" "$(property MainPID)"
    holds "$(calls)" "alpha Stop" && fail "SIGHUP stopped the plugins"
    return 0
}

writesToTheJournal() {  # PID
    [ -n "$(inside journalctl --no-pager -o cat _TRANSPORT=journal _PID="$1")" ]
}

# The real journald reads the native protocol: the fields must arrive as
# fields, and from the service's own process.
JournalHoldsEachPluginsRecords() {
    usePlugins alpha failing
    ctl start "$unit"
    local mainPid records
    mainPid=$(property MainPID)
    inside journalctl --sync 2>/dev/null || sleep 1
    requireFeature "records of its own in the journal (native protocol)" \
        writesToTheJournal "$mainPid"
    records=$(inside journalctl --no-pager -u "$unit" PLUGIN=Failing -o export)
    [ -n "$records" ] || fail "no record with PLUGIN=Failing"
    grep -qx "_PID=$mainPid" <<<"$records" || fail "no record from the main process: $records"
    holds "$(grep -v '^_' <<<"$records")" '-7' || fail "no field names Failing's code -7: $records"
    grep -q '^PRIORITY=[0-3]$' <<<"$records" || fail "Failing's record is no error: $records"
    # A plugin that started is nothing to act on: it has no record of its own.
    [ -z "$(inside journalctl --no-pager -u "$unit" PLUGIN=Alpha -o cat)" ] ||
        fail "a record for Alpha, which started"
}

statusJson=/run/zoKorvoRemoteService/zoKorvoRemoteService.status.json
metricsFile=/run/zo-rig/zokorvo.prom
reloadAt() { inside sed -n 's/.*"reload":{"at":"\([^"]*\)".*/\1/p' "$statusJson"; }
waitsForReloads() { inside grep -q -- '--reload' /usr/lib/systemd/system/$unit 2>/dev/null ||
    inside grep -q -- '--reload' /lib/systemd/system/$unit; }
# withOptions OPTION...: the unit's command with these options added.
withOptions() { dropIn 10-options "ExecStart=" "ExecStart=$service $*"; }
metric() { inside sed -n "s/^$1 //p" "$metricsFile"; }

# Each systemctl reload returns only once the status shows that reload's
# result, and fails when the reload could not be done.
ReloadWaitsForItsResultAndFailsWhenItCannotBeDone() {
    requireFeature "a reload command that waits (ExecReload= sends SIGHUP only)" waitsForReloads
    usePlugins alpha lingerer
    withOptions --metrics-file "$metricsFile"
    ctl start "$unit"
    local round before after
    for round in $(seq 20); do
        before=$(reloadAt)
        # A changed description: Lingerer's 2 s Initialize runs in each reload.
        inside sh -c "echo ';round $round' >>$plugins/lingerer.ini"
        ctl reload "$unit" || fail "reload $round failed"
        after=$(reloadAt)
        [ -n "$after" ] && [ "$after" != "$before" ] ||
            fail "systemctl reload $round returned before its result: reload.at '$before' then '$after'"
        holds "$(inside cat "$statusJson")" '"successful":true' || fail "reload $round not done"
    done
    expectEqual "reloads succeeded" 1 "$(metric zokorvo_last_reload_successful)"
    inside mv "$plugins" "$plugins.aside"
    if ctl reload "$unit"; then
        fail "systemctl reload succeeded with the plugins directory gone"
    fi
    expectEqual "state after the failed reload" active "$(property ActiveState)"
    expectEqual "metric of the failed reload" 0 "$(metric zokorvo_last_reload_successful)"
    inside journalctl --sync 2>/dev/null || sleep 1
    holds "$(inside journalctl --no-pager -u "$unit" MESSAGE_ID=41baa7adafee4ee88a3ca52ae15c662e -o export)" \
        '^PRIORITY=3$' || fail "no error record of the failed reload in the journal"
    inside mv "$plugins.aside" "$plugins"
    ctl reload "$unit" || fail "the reload after the directory came back failed"
    expectEqual "metric after it" 1 "$(metric zokorvo_last_reload_successful)"
}

# The manager folds a reload asked for during the start into the start job:
# the start takes in what changed while it ran, so that reload is done too,
# and systemctl reload returns once it is.
ReloadAskedForDuringASlowStartIsDone() {
    usePlugins alpha slow
    ctl start --no-block "$unit"
    waitUntil 10 "Slow's Initialize running" statusSays "Initialize of plugin Slow running for "
    inside cp /stage/descriptions/beta.ini "$plugins/"
    ctl reload "$unit" || fail "systemctl reload during the start failed"
    expectEqual "state when systemctl reload returned" active "$(property ActiveState)"
    expectEqual "Status:" "Plugins: 3 started, 0 refused, 0 failed" "$(statusText)"
    [ -n "$(reloadAt)" ] || fail "the status reports no reload: $(inside cat "$statusJson")"
    holds "$(calls)" "^beta Initialize$" || fail "Beta was not started: $(calls)"
}

# The manual's hardening drop-in, as printed, starts the service, which
# writes its metrics into the directory the drop-in keeps writable.
HardeningDropInOfTheManualStartsAndWritesMetrics() {
    requireFeature "the --metrics-interval option" hasOption --metrics-interval
    usePlugins alpha
    inside mkdir -p /var/lib/prometheus/node-exporter
    local dropInText
    dropInText=$(sed -n '/^\[Service\]$/,/^\.fi$/p' "$source/man/zoKorvoRemoteService.8" |
        sed -n '/^ProtectHome=yes$/,/^\.fi$/p' | grep -v '^\.fi$' | sed 's/\\-/-/g')
    holds "$dropInText" "ProtectSystem=strict" || fail "no hardening drop-in found in the manual"
    local lines
    mapfile -t lines <<<"$dropInText"
    dropIn 20-sandbox "${lines[@]}"
    withOptions --metrics-file /var/lib/prometheus/node-exporter/zokorvo.prom
    ctl start "$unit" || fail "the hardened unit did not start: $(inside journalctl --no-pager -n 20 -u "$unit")"
    waitUntil 10 "metrics written" inside test -s /var/lib/prometheus/node-exporter/zokorvo.prom
    inside rm -f /var/lib/prometheus/node-exporter/zokorvo.prom
}

updatedAfter() { [ "$(metric zokorvo_metrics_updated_timestamp_seconds)" -gt "$1" ]; }

# After SIGKILL nothing rewrites the metrics: their age tells.
HeartbeatStopsWhenTheServiceIsKilled() {
    requireFeature "the --metrics-interval option" hasOption --metrics-interval
    usePlugins alpha
    withOptions --metrics-file "$metricsFile" --metrics-interval 1
    ctl start "$unit"
    local first
    first=$(metric zokorvo_metrics_updated_timestamp_seconds)
    waitUntil 10 "the heartbeat rewrites the metrics" updatedAfter "$((first + 1))"
    ctl kill -s KILL "$unit"
    local last
    last=$(metric zokorvo_metrics_updated_timestamp_seconds)
    # Three intervals; RestartSec= (10 s) keeps the next process away meanwhile.
    sleep 3
    expectEqual "heartbeat after SIGKILL" "$last" "$(metric zokorvo_metrics_updated_timestamp_seconds)"
}

exitedWithStatus70() { holds "$(inside journalctl -u "$unit" --no-pager -o cat)" 'status=70/'; }
callsExitInTheStatusFile() { holds "$(inside cat "$statusFile")" 'Plugin Exiter called exit(0) in Initialize'; }

# A plugin's exit(0) ends the service with status 70: a failure, which
# Restart=on-failure answers, and the status file names the plugin.
PluginExitIsAFailureThatIsRestarted() {
    requireFeature "a status of its own for a plugin's exit" \
        holds "$(inside zcat /usr/share/man/man8/zoKorvoRemoteService.8.gz)" 'called exit('
    dropIn 50-restart RestartSec=1s
    usePlugins alpha exiter
    ctl start "$unit" && fail "systemctl start succeeded although Exiter's Initialize exits"
    waitUntil 10 "a restart" hasRestarted
    waitUntil 5 "the journal says that the main process exited with status 70" exitedWithStatus70
    waitUntil 5 "the status file names the plugin" callsExitInTheStatusFile
}

crashRecordNamesLateCrasher() {
    holds "$(inside journalctl --no-pager -u "$unit" PLUGIN=LateCrasher PRIORITY=2 -o cat)" \
        'Plugin LateCrasher crashed: SIGSEGV in its own code'
}

# A thread of the plugin's faults after the start: the journal names the
# plugin at priority 2 before the service ends by SIGSEGV.
CrashInAPluginThreadIsNamedInTheJournal() {
    requireFeature "the last word of a crash" \
        holds "$(inside zcat /usr/share/man/man8/zoKorvoRemoteService.8.gz)" 'crashed: '
    dropIn 50-restart Restart=no
    usePlugins alpha lateCrasher
    ctl start "$unit"
    waitUntil 10 "the crash" isStopped
    inside journalctl --sync 2>/dev/null || sleep 1
    waitUntil 5 "a journal record naming LateCrasher" crashRecordNamesLateCrasher
    waitUntil 5 "the journal says that the main process died of SIGSEGV" journalSaysSegv
}

SecurityAnalysisOfTheUnit() {
    inside timeout 60 systemd-analyze security --no-pager "$unit" | tee "$state/security.txt"
    grep -q 'Overall exposure level' "$state/security.txt" || fail "systemd-analyze printed no verdict"
}

resetUnit
"$case"
echo "passed: $case"
