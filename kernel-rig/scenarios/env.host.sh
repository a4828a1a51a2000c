# The environment on real NAND. Copy 0 (env1) holds counter 5 and an older bootdelay, copy 1
# (env2) counter 7: copy 1 is in use, and every save writes copy 0 first, then copy 1.
# The second half of each erase unit holds test data that no save may change.

TAB=$'\t'
# The camera's environment as the runner writes it; copy 0 differs only in bootdelay.
env_vars() {
    cat <<VARS
bootargs=mem=256M console=ttyAMA0,115200 ubi.mtd=fs1 root=ubi0:rootfs rw rootfstype=ubifs init=/linuxrc
bootcmd=nand read 0x42000000 ker1 0x800000; bootm 0x42000000
bootdelay=$1
baudrate=115200
ethaddr=00:1c:27:10:20:30
ipaddr=192.168.1.10
serverip=192.168.1.2
sn=QV20210315000001
uboot=name:uboot${TAB}ver:0x01070049${TAB}size:393216${TAB}date:0x07e5030f 
ker1=name:ker1${TAB}ver:0x01070049${TAB}size:4194304${TAB}date:0x07e5030f 
fs1=name:fs1${TAB}ver:0x01070049${TAB}size:20971520${TAB}date:0x07e5030f 
ker2=name:ker2${TAB}ver:0x01060012${TAB}size:4063232${TAB}date:0x07e40c1f 
cfg=name:cfg${TAB}ver:0x00000000${TAB}size:65536${TAB}date:0x07e50101 
oem=name:oem${TAB}ver:0x01000002${TAB}size:0${TAB}date:0x07e50101 
VARS
}
ENV_SN_ARG=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd

# The units written to env1 and env2, shared with the other environment scenarios.
env_units() {
    env_vars 1 >"$1/vars0"
    env_vars 3 >"$1/vars1"
    "$BIN/rig_envtool" make "$1/copy0.bin" 5 "$1/vars0" 1
    "$BIN/rig_envtool" make "$1/copy1.bin" 7 "$1/vars1" 2
}

prepare_env() {
    env_units "$1"
    printf '%s' "$ENV_SN_ARG" >"$1/sn-arg"
}

# /proc/mtd as the machine lists it under the camera's names.
expected_proc_mtd() {
    echo "dev:    size   erasesize  name"
    local i=0 b
    for b in $RIG_PART_BLOCKS; do
        printf 'mtd%d: %08x %08x "%s"\n' $i $((b * RIG_BLOCK)) $RIG_BLOCK \
            "$(echo $RIG_PART_NAMES | cut -d' ' -f$((i + 1)))"
        i=$((i + 1))
    done
}

# What rig_envtool show gives for a good copy with counter FLAG and the variables on stdin.
expected_copy() { echo "crc ok"; echo "flag $1"; cat; }

# expect_copies STEP FLAG0 FLAG1 VARS_FILE: both copies after STEP hold the variables, with
# their counters, and kept the second half of their erase units.
expect_copies() {
    local step=$1 f0=$2 f1=$3 vars=$4 res=$5
    local n dev flag seed
    for n in 0 1; do
        dev=mtd$((n + 1))
        flag=$f0 seed=1
        [ $n = 1 ] && flag=$f1 seed=2
        if [ -f "$res/$step.$dev" ]; then
            "$BIN/rig_envtool" show "$res/$step.$dev" >"$res/$step.$dev.show"
        fi
        expect_file "after $step, copy $n on $dev: counter $flag and the new variables" \
            <(expected_copy "$flag" <"$vars") "$res/$step.$dev.show"
        expect_true "after $step, the second half of $dev's erase unit is unchanged" \
            "bytes 0x40000-0x7ffff of $dev changed" "$BIN/rig_envtool" tail "$res/$step.$dev" $seed
    done
}

# Every PartitionRecord of env_vars in --show's and -v's form.
expected_show_records() {
    local T=$'\t'
    printf 'uboot:\n%sversion = 1.7.0.73\n%ssize    = 0x00060000 (384 K)\n%sdate    = 2021/3/15\n' "$T" "$T" "$T"
    printf 'ker1:(current)\n%sversion = 1.7.0.73\n%ssize    = 0x00400000 (4096 K)\n%sdate    = 2021/3/15\n' "$T" "$T" "$T"
    printf 'ker2:\n%sversion = 1.6.0.18\n%ssize    = 0x003E0000 (3968 K)\n%sdate    = 2020/12/31\n' "$T" "$T" "$T"
    printf 'fs1:(current)\n%sversion = 1.7.0.73\n%ssize    = 0x01400000 (20480 K)\n%sdate    = 2021/3/15\n' "$T" "$T" "$T"
    printf 'cfg:\n%sversion = 0.0.0.0\n%ssize    = 0x00010000 (64 K)\n%sdate    = 2021/1/1\n' "$T" "$T" "$T"
}
expected_version_records() {
    local T=$'\t'
    printf 'uboot:\n%sversion = 1.7.0.73\n%ssize    = 384 K\n%sdate    = 2021/3/15\n' "$T" "$T" "$T"
    printf 'ker1:(current)\n%sversion = 1.7.0.73\n%ssize    = 4096 K\n%sdate    = 2021/3/15\n' "$T" "$T" "$T"
    printf 'ker2:\n%sversion = 1.6.0.18\n%ssize    = 3968 K\n%sdate    = 2020/12/31\n' "$T" "$T" "$T"
    printf 'fs1:(current)\n%sversion = 1.7.0.73\n%ssize    = 20480 K\n%sdate    = 2021/3/15\n' "$T" "$T" "$T"
    printf 'oem:\n%sversion = 1.0.0.2\n%ssize    = 0 K\n%sdate    = 2021/1/1\n' "$T" "$T" "$T"
}

# expect_run WHAT RES NAME RC STDOUT STDERR: a captured command's whole outcome.
expect_run() {
    local what=$1 res=$2 name=$3
    expect_text "$what: exit status $4" "$4"$'\n' "$res/$name.rc"
    expect_text "$what: stdout" "$5" "$res/$name.out"
    expect_text "$what: stderr" "$6" "$res/$name.err"
}

check_env() {
    local res=$1/env tmp=$WORK/out/expect-env
    mkdir -p "$tmp"
    expect_file "/proc/mtd lists the camera's partitions" <(expected_proc_mtd) "$1/proc_mtd"

    expect_run "update without options" "$res" open 0 "" ""
    expect_file "opening the store writes nothing to env1" "$STAGE/rig/data/env/copy0.bin" "$res/open.mtd1"
    expect_file "opening the store writes nothing to env2" "$STAGE/rig/data/env/copy1.bin" "$res/open.mtd2"

    expect_run "update -D 300" "$res" delay 0 "" ""
    env_vars 3 | grep -v '^bootdelay=' >"$tmp/delay"
    echo "bootdelay=44" >>"$tmp/delay"
    expect_copies delay 8 9 "$tmp/delay" "$res"

    expect_run "update -N (40 characters)" "$res" sn 0 "" ""
    grep -v '^sn=' "$tmp/delay" >"$tmp/sn"
    echo "sn=${ENV_SN_ARG:0:32}" >>"$tmp/sn"
    expect_copies sn 10 11 "$tmp/sn" "$res"

    {
        printf 'Quovera update version: 1.0.1 \n'
        expected_show_records
        printf '\nMore details:\n\nMtd information: \n'
        expected_proc_mtd
        cat "$tmp/sn"
    } >"$tmp/show"
    expect_text "update --show: exit status 0" $'0\n' "$res/show.rc"
    expect_file "update --show: stdout" "$tmp/show" "$res/show.out"
    expect_text "update --show: stderr" "" "$res/show.err"

    { printf 'Quovera update version: 0.1.0.1\n'; expected_version_records; } >"$tmp/version"
    expect_text "update -v: exit status 0" $'0\n' "$res/version.rc"
    expect_file "update -v: stdout" "$tmp/version" "$res/version.out"
    expect_text "update -v: stderr" "" "$res/version.err"
}
