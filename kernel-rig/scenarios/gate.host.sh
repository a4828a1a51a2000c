# The compatibility gate on a real kernel, without an I2C bus and with a /dev/mem that cannot
# map the MDIO window (the kernel guards RAM): the built-in ProductCode, no EEPROM, the older
# PHY. The environment is env's (fs1 of platform 1, no chipinfo).

GATE_CODE=QVZ27R0807TA501G0100P77770000000

# A header-only UpgradeImage whose root filesystem has version A.B.C.D.
gate_image() {
    local out=$1 a b c d
    IFS=. read -r a b c d <<<"$2"
    head -c 2048 /dev/zero >"$out"
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' "$d" "$c" "$b" "$a")" |
        dd of="$out" bs=1 seek=248 conv=notrunc 2>/dev/null
}

prepare_gate() {
    env_units "$1"
    local v
    for v in 1.7.0.77 1.7.0.62 2.7.0.77 1.7.0.64 1.7.0.57; do
        gate_image "$1/$v.bin" "$v"
    done
}

# The ResultLog of a refusal: the code and the message, each in a zero-padded 256-byte block.
gate_result_log() {
    local f=$1 tmp
    tmp=$(mktemp)
    printf '%s\n' "$2" >"$tmp"
    truncate -s 256 "$tmp"
    cat "$tmp" >"$f"
    printf '%s\n' "$3" >"$tmp"
    truncate -s 256 "$tmp"
    cat "$tmp" >>"$f"
    rm -f "$tmp"
}

# gate_expect_refusal RES NAME OPTION STATUS CODE MESSAGE
gate_expect_refusal() {
    local res=$1 name=$2 what="update $3" tmp=$WORK/out/expect-gate
    mkdir -p "$tmp"
    expect_text "$what: exit status $4" "$4"$'\n' "$res/$name.rc"
    gate_result_log "$tmp/$name.log" "$5" "$6"
    expect_file "$what: ResultLog holds $5 and the message" "$tmp/$name.log" "$res/$name.log"
    # perror of the message (with whatever error came last), then the message again.
    expect_true "$what: stderr is the refusal" "$(cat -A "$res/$name.err" 2>/dev/null | head -5)" \
        awk -v m="$6" '(NR == 1 || NR == 3) && $0 != m { bad = 1 } NR == 2 && !/^: / { bad = 1 }
                       END { exit bad || NR != 3 }' "$res/$name.err"
    expect_true "$what: nothing after the gate ran" "$(head -c 300 "$res/$name.out")" \
        sh -c "! grep -q -e 'Begin update' -e 'Analysis image' '$res/$name.out'"
}

check_gate() {
    local res=$1/gate image=/rig/data/gate
    expect_true "the machine has no I2C bus 3" "$(cat "$res/i2c-3.ls" 2>/dev/null)" \
        grep -q 'No such file' "$res/i2c-3.ls"

    local probes="mmap phyaddr 0x10050000 failed !
========= old phy 8035 ======== 
Unable to open i2c bus 3!!!
"
    expect_text "update -a 1.7.0.77: exit status 0" $'0\n' "$res/pass.rc"
    expect_text "update -a 1.7.0.77: stdout" "
\$\$\$\$\$\$ ai_val=0 

version = 1.7.0.77
Unable to open i2c bus 3!!!
dm2016 read addr 0x0 error. 

\$\$\$\$\$\$ product=$GATE_CODE 

====ai_upfw_val=0======
====update=chipinfo=$GATE_CODE======
${probes}Analysis image $image/1.7.0.77.bin 
==============name $image/1.7.0.77.bin=
" "$res/pass.out"
    expect_text "update -a 1.7.0.77: stderr" "" "$res/pass.err"
    expect_true "update -a 1.7.0.77: no ResultLog" "pass.log exists" test ! -e "$res/pass.log"

    expect_text "update -a 1.7.0.62: stdout (code from the environment)" "
\$\$\$\$\$\$ ai_val=0 

version = 1.7.0.62

\$\$\$\$\$\$ product=$GATE_CODE 

====ai_upfw_val=0======
====update=chipinfo=$GATE_CODE======
$probes" "$res/eeprom.out"
    gate_expect_refusal "$res" eeprom "-a 1.7.0.62" 241 -15 "Can't find dm2016, version must >= XX.7.0.63."
    gate_expect_refusal "$res" platform "-u 2.7.0.77" 242 -14 "CPU not match firmware, update exit."
    gate_expect_refusal "$res" sensor "-a 1.7.0.64 (imx327)" 241 -15 "imx327 Sensor version must >= 65"
    gate_expect_refusal "$res" codec "-a 1.7.0.57 (external codec; the PHY counts as the 8035)" 241 -15 \
        "external codec 8822  version must >= 58"
    gate_expect_refusal "$res" missing "-a on a missing image" 255 -1 "open output imager!"
    expect_text "update -a on a missing image: the open's error" \
        $'open output imager!\n: No such file or directory\nopen output imager!\n' "$res/missing.err"

    # Five runs reached the migration, each storing the code: five saves from counters 5 and 7.
    local tmp=$WORK/out/expect-gate dev flag
    mkdir -p "$tmp"
    { env_vars 3; echo "chipinfo=$GATE_CODE"; } >"$tmp/vars"
    for dev in mtd1 mtd2; do
        flag=16
        [ $dev = mtd2 ] && flag=17
        [ -f "$res/$dev" ] && "$BIN/rig_envtool" show "$res/$dev" >"$res/$dev.show"
        expect_file "$dev holds the stored ProductCode, counter $flag" \
            <(expected_copy $flag <"$tmp/vars") "$res/$dev.show"
    done
}
