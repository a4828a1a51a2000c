# update -S 2 from bank 1: bootargs and then bootcmd are stored (two saves, so the counters go
# from 5 and 7 to 10 and 11), the announcement is printed, and after the 3-second pause the
# real reboot ends the machine.

prepare_switch() { env_units "$1"; }

check_switch() {
    local res=$1/switch tmp=$WORK/out/expect-switch
    mkdir -p "$tmp"
    expect_true "the reboot came from update -S (shutdown ran)" "no reboot-at in the results" \
        test -f "$1/reboot-at"
    if [ -f "$1/reboot-at" ] && [ -f "$res/update-started" ]; then
        expect_true "the reboot came after the 3-second pause" \
            "update started at $(cat "$res/update-started"), reboot at $(cat "$1/reboot-at")" \
            awk -v a="$(cat "$res/update-started")" -v b="$(cat "$1/reboot-at")" \
            'BEGIN { d = b - a; exit !(d >= 3 && d < 15) }'
    fi
    expect_text "update -S 2: stdout" $'\tFilesys will switch to fs2 after reboot!\n' "$res/S.out"
    expect_text "update -S 2: stderr" "" "$res/S.err"
    env_vars 3 | grep -v '^boot\(args\|cmd\)=' >"$tmp/vars"
    env_vars 3 | grep '^bootargs=' | sed 's/ubi.mtd=fs1/ubi.mtd=fs2/' >>"$tmp/vars"
    env_vars 3 | grep '^bootcmd=' | sed 's/ker1/ker2/' >>"$tmp/vars"
    local dev flag
    for dev in mtd1 mtd2; do
        flag=10
        [ $dev = mtd2 ] && flag=11
        [ -f "$res/$dev" ] && "$BIN/rig_envtool" show "$res/$dev" >"$res/$dev.show"
        expect_file "$dev holds the switched boot arguments, counter $flag" \
            <(expected_copy $flag <"$tmp/vars") "$res/$dev.show"
    done
}
