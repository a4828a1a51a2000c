# qv_watchdog with no application: the check at 60 s finds none and runs "reboot &", and the
# real reboot ends the machine.
run_watchdog_dead() {
    d=$RESULTS/watchdog_dead
    mkdir -p $d
    rm -f /tmp/qvserver
    uptime_s >$d/started
    qv_watchdog >$d/wd.out 2>$d/wd.err
    echo $? >$d/wd.rc
    sleep 60
}
at_reboot_watchdog_dead() {
    d=$RESULTS/watchdog_dead
    # let the daemon finish its exit
    sleep 1
    echo "state $(cat /sys/class/watchdog/watchdog0/state)" >$d/sysfs-at-reboot
}
