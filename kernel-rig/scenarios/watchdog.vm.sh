# qv_watchdog on softdog while the other scenarios of the phase run: the kernel's function
# tracer records every ping that reaches softdog. The application is alive throughout (a stand-in
# named qvserver that writes its pid file and records the signals it gets), so the check at 60 s
# passes; then SIGUSR1 (forwarded to the application), SIGUSR2 and SIGTERM.
WD_MIN_RUN=64

begin_watchdog() {
    d=$RESULTS/watchdog
    mkdir -p $d
    rm -f /tmp/qvserver
    /rig/data/watchdog/qvserver &
    while [ ! -s /tmp/qvserver ]; do sleep 0.1; done
    t=/sys/kernel/tracing
    echo softdog_ping >$t/set_ftrace_filter
    echo function >$t/current_tracer
    echo 1 >$t/tracing_on
    uptime_s >$d/started
    # The trace has a clock of its own: mark the start and the SIGTERM in it.
    echo rig-start >$t/trace_marker
    qv_watchdog >$d/wd.out 2>$d/wd.err &
    echo $! >$d/wd.pid
    sleep 1
    for f in state timeout; do
        echo "$f $(cat /sys/class/watchdog/watchdog0/$f)" >>$d/sysfs-running
    done
}

end_watchdog() {
    d=$RESULTS/watchdog
    pid=$(cat $d/wd.pid)
    started=$(cat $d/started)
    while [ "$(awk -v a=$started -v b=$(uptime_s) 'BEGIN { print (b - a >= '$WD_MIN_RUN') }')" = 0 ]; do
        sleep 1
    done
    kill -0 $pid 2>/dev/null && echo yes >$d/alive-after-check
    kill -USR1 $pid
    sleep 2
    kill -USR2 $pid
    sleep 1
    echo rig-sigterm >/sys/kernel/tracing/trace_marker
    kill -TERM $pid
    wait $pid
    echo $? >$d/wd.rc
    uptime_s >$d/stopped
    for f in state timeout; do
        echo "$f $(cat /sys/class/watchdog/watchdog0/$f)" >>$d/sysfs-after
    done
    echo 0 >/sys/kernel/tracing/tracing_on
    cat /sys/kernel/tracing/trace >$d/trace.txt
    kill $(cat /tmp/qvserver) 2>/dev/null
    cp /tmp/qvserver.signals $d/app-signals 2>/dev/null
}
