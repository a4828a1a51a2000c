# qv_watchdog on softdog with a living application: the pings that reach the device (seen by
# the kernel's function tracer), the time-out of 45 s, the signal protocol, and a device left
# running at SIGTERM (the daemon writes no magic character).

prepare_watchdog() {
    cat >"$1/qvserver" <<'APP'
#!/bin/sh
# Stands in for the camera application: writes its pid file and records the signals it gets.
trap 'echo USR1 >>/tmp/qvserver.signals' USR1
echo $$ >/tmp/qvserver
while :; do sleep 1; done
APP
    chmod 755 "$1/qvserver"
}

# The times of the pings that the process named $2 sent to softdog, from a trace file.
softdog_pings() {
    awk -v who="$2" '/softdog_ping/ {
        task = $1; sub(/-[0-9]+$/, "", task)
        for (i = 2; i <= NF; i++) if ($i ~ /^[0-9]+\.[0-9]+:$/) { t = $i; sub(/:$/, "", t) }
        if (task == who) print t
    }' "$1"
}

# The time of a mark the runner wrote into a trace file.
trace_mark() {
    awk -v m="$2" '$NF == m && /tracing_mark_write:/ {
        for (i = 2; i <= NF; i++) if ($i ~ /^[0-9]+\.[0-9]+:$/) { t = $i; sub(/:$/, "", t) }
        print t; exit
    }' "$1"
}

# expect_line RES WHAT REGEX: a line of the daemon's output matches.
expect_line() {
    expect_true "$2" "no line matching: $3" grep -qE "$3" "$1"
}

check_watchdog() {
    local res=$1/watchdog
    local trailer='==func:signal_handler file:main line:[0-9]+$'
    local stamp='^\[[^]]+ [0-9]+\] '
    expect_text "qv_watchdog ends with status 0 after SIGTERM" $'0\n' "$res/wd.rc"
    expect_text "qv_watchdog: stderr" "" "$res/wd.err"
    expect_true "qv_watchdog starts without a configuration file" "$(head -4 "$res/wd.out" | cat -A)" \
        cmp -s <(head -4 "$res/wd.out") <(printf '\n =======open watchdog conf failed ===== \n\n ===== watchdog start 1111111 =========== \n')
    expect_true "no keepalive failed" "$(grep -m1 'keep alive faield' "$res/wd.out")" \
        bash -c "! grep -q 'keep alive faield' '$res/wd.out'"
    expect_text "softdog while the daemon runs" $'state active\ntimeout 45\n' "$res/sysfs-running"
    expect_text "the daemon was still running after the check at 60 s" $'yes\n' "$res/alive-after-check"
    expect_true "no death notice while the application lives" "$(grep -m1 'qvserver die' "$res/wd.out")" \
        bash -c "! grep -q 'qvserver die' '$res/wd.out'"
    expect_line "$res/wd.out" "SIGUSR1: recv signal 10 notice" "${stamp}recv signal 10${trailer}"
    expect_line "$res/wd.out" "SIGUSR1: user1 notice" "${stamp}user1 signal\.${trailer}"
    expect_text "SIGUSR1 is passed on to the application" $'USR1\n' "$res/app-signals"
    expect_line "$res/wd.out" "SIGUSR2: user2 notice" "${stamp}user2 signal\.${trailer}"
    expect_line "$res/wd.out" "SIGTERM: recv signal 15 notice" "${stamp}recv signal 15${trailer}"
    expect_text "softdog stays active after the daemon closed it (no magic character)" \
        $'state active\ntimeout 45\n' "$res/sysfs-after"
    expect_true "the kernel says the watchdog did not stop" "not in dmesg" \
        grep -q 'watchdog did not stop!' "$1/dmesg.txt"

    # Pings: one at open, one with the time-out, a keepalive every 5 s until SIGTERM, and one
    # from the kernel itself when the device is closed without the magic character.
    softdog_pings "$res/trace.txt" qv_watchdog >"$res/pings"
    local started sigterm
    started=$(trace_mark "$res/trace.txt" rig-start)
    sigterm=$(trace_mark "$res/trace.txt" rig-sigterm)
    local report
    report=$(awk -v s="$started" -v e="$sigterm" '
        { t[NR] = $1 }
        END {
            if (s == "" || e == "") { print "no start or SIGTERM mark in the trace"; exit 1 }
            if (NR < 5) { print "only " NR " pings"; exit 1 }
            if (t[1] < s || t[2] - t[1] > 0.5) { print "no two pings at open: " t[1] " " t[2]; exit 1 }
            if (t[NR] < e || t[NR] > e + 1) { print "no ping at the close: last at " t[NR] ", SIGTERM at " e; exit 1 }
            n = NR - 3
            want = int((e - t[2]) / 5)
            if (n < want - 1 || n > want) { print n " keepalives in " e - t[2] " s"; exit 1 }
            for (i = 3; i < NR; i++) {
                d = t[i] - t[i - 1]
                if (d < 4.9 || d > 6) { print "keepalive " i - 2 " came " d " s after the ping before"; exit 1 }
            }
            print n " keepalives in " e - t[2] " s"
        }' "$res/pings") && pass "keepalives reach softdog every 5 s ($report)" ||
        fail "keepalives reach softdog every 5 s" "$report"
}
