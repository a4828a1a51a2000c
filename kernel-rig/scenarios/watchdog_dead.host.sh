# qv_watchdog without the application: at the check after 60 s the death notices, the up-time
# and "reboot &", and the real reboot ends the machine.

check_watchdog_dead() {
    local res=$1/watchdog_dead
    local red=$'\033\\[0;31m' dflt=$'\033\\[0;39m'
    local head='^\[ERR:[^]]+ [0-9]+\] '
    expect_true "the reboot came about 60 s after the start" \
        "started $(cat "$res/started" 2>/dev/null), reboot at $(cat "$1/reboot-at" 2>/dev/null)" \
        awk -v a="$(cat "$res/started" 2>/dev/null)" -v b="$(cat "$1/reboot-at" 2>/dev/null)" \
        'BEGIN { d = b - a; exit !(a > 0 && d >= 60 && d < 68) }'
    expect_text "qv_watchdog ends with status 0" $'0\n' "$res/wd.rc"
    expect_text "qv_watchdog: stderr (a missing pid file is no error)" "" "$res/wd.err"
    expect_line "$res/wd.out" "death notice" "${head}${red}qvserver die\.${dflt} ==func:main file:main line:[0-9]+\$"
    expect_line "$res/wd.out" "reboot notice" "${head}${red}qvserver die! reboot now\.\.\.${dflt} ==func:main file:main line:[0-9]+\$"
    local up
    up=$(sed -n 's/.*System up time :\([0-9]*\)day \([0-9]*\)hour \([0-9]*\) minute \([0-9]*\) second#.*/\1 \2 \3 \4/p' "$res/wd.out")
    expect_true "the up-time line shows the machine's up-time" \
        "up-time line: '$up', reboot at $(cat "$1/reboot-at" 2>/dev/null)" \
        awk -v u="$up" -v r="$(cat "$1/reboot-at" 2>/dev/null)" \
        'BEGIN { n = split(u, f, " "); s = f[1] * 86400 + f[2] * 3600 + f[3] * 60 + f[4]; exit !(n == 4 && s <= r + 1 && s >= r - 3) }'
}
