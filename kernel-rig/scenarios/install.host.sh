# update -u from bank 1 on real NAND. ker2 and fs2 each have a bad block inside the data, so
# both the writer and the read-back check skip it, and the data goes on after it.

INSTALL_KER_BAD=1  # erase block index inside ker2
INSTALL_FS_BAD=3   # inside fs2

# The chip's block numbers of those bad blocks, for the phase's extra bad blocks.
install_bad_blocks() {
    echo "$(($(part_first_block 4) + INSTALL_KER_BAD)),$(($(part_first_block 6) + INSTALL_FS_BAD))"
}

# Component data that differs from page to page, the same at every run.
install_data() {
    awk -v n="$1" -v tag="$2" 'BEGIN {
        while (len < n) { s = sprintf("%s %09d\n", tag, ++i); s = substr(s, 1, n - len); len += length(s); printf "%s", s }
    }'
}

prepare_install() {
    env_units "$1"
    install_data 300000 kernel >"$1/kernel.bin"
    install_data 900000 rootfs >"$1/rootfs.bin"
    install_data 5000 tool >"$1/tool.bin"
    "$BIN/mkupgrade" --version 1.7.0.80 --date 2026-12-01 -o "$1/update.bin" \
        ker="$1/kernel.bin" fs="$1/rootfs.bin" tool="$1/tool.bin"
}

# A component file as the image carries it: padded with 0xFF to whole pages.
install_padded() {
    local size padded
    size=$(stat -c %s "$1")
    padded=$((((size + 2047) / 2048) * 2048))
    cat "$1"
    head -c $((padded - size)) /dev/zero | tr '\0' '\377'
}

# install_expect_partition WHAT RESULT COMPONENT BAD: the partition holds the component (as the
# image pads it) from its start, the bad block skipped.
install_expect_partition() {
    local what=$1 got=$2 comp=$3 bad=$4 tmp=$WORK/out/expect-install
    install_padded "$comp" >"$tmp/$what.want"
    local padded
    padded=$(stat -c %s "$tmp/$what.want")
    { head -c $((bad * RIG_BLOCK)) "$got"; tail -c +$(((bad + 1) * RIG_BLOCK + 1)) "$got"; } |
        head -c "$padded" >"$tmp/$what.got"
    expect_file "$what holds the component, its bad block skipped" "$tmp/$what.want" "$tmp/$what.got"
}

check_install() {
    local res=$1/install data=$WORK/stage/rig/data/install tmp=$WORK/out/expect-install
    mkdir -p "$tmp"
    local T=$'\t'
    local ker_size fs_size
    ker_size=$((((300000 + 2047) / 2048) * 2048))
    fs_size=$((((900000 + 2047) / 2048) * 2048))
    local ker_bad=$(printf '%x' $((INSTALL_KER_BAD * RIG_BLOCK))) fs_bad=$(printf '%x' $((INSTALL_FS_BAD * RIG_BLOCK)))
    expect_true "the install phase's bad blocks are ker2's and fs2's ($(install_bad_blocks))" \
        "PHASES: ${PHASES[*]}" sh -c "echo '${PHASES[*]}' | grep -q 'install|$(install_bad_blocks)|'"
    expect_text "update -u: exit status 0" $'0\n' "$res/install.rc"
    # flash_erase reports on its own that it erased block by block around a bad one.
    grep -v -e '^libmtd: ' -e '^flash_erase: ' -e '^[[:space:]]' "$res/install.err" >"$tmp/install.err"
    expect_text "update -u: stderr (each bad block reported by the writer and the check)" \
        "Bad block at $ker_bad, 1 block(s) from $ker_bad will be skipped
Bad block at $ker_bad, 1 block(s) from $ker_bad will be skipped
Bad block at $fs_bad, 1 block(s) from $fs_bad will be skipped
Bad block at $fs_bad, 1 block(s) from $fs_bad will be skipped
update success!
" "$tmp/install.err"
    expect_true "update -u: stdout ends the run" "$(tail -c 200 "$res/install.out" | cat -A)" \
        grep -q '^ end UPFW_run_update $' "$res/install.out"
    { printf '0\n'; head -c 254 /dev/zero; printf 'update success!\n'; head -c 240 /dev/zero; } >"$tmp/upfw.log"
    expect_file "the ResultLog holds 0 and \"update success!\"" "$tmp/upfw.log" "$res/upfw.log"
    install_padded "$data/tool.bin" >"$tmp/tool.bin"
    expect_file "the tool file is unpacked" "$tmp/tool.bin" "$res/tool.bin"
    install_expect_partition ker2 "$res/mtd4" "$data/kernel.bin" $INSTALL_KER_BAD
    install_expect_partition fs2 "$res/mtd6" "$data/rootfs.bin" $INSTALL_FS_BAD

    # Five saves from counters 5 and 7 (the gate's ProductCode, the two records, bootargs,
    # bootcmd); a variable defined again moves to the end.
    {
        env_vars 3 | grep -v -e '^boot\(args\|cmd\)=' -e '^ker2='
        echo "chipinfo=$GATE_CODE"
        echo "ker2=name:ker2${T}ver:0x01070050${T}size:$ker_size${T}date:0x07ea0c01 "
        echo "fs2=name:fs2${T}ver:0x01070050${T}size:$fs_size${T}date:0x07ea0c01 "
        env_vars 3 | grep '^bootargs=' | sed 's/ubi.mtd=fs1/ubi.mtd=fs2/'
        env_vars 3 | grep '^bootcmd=' | sed 's/ker1/ker2/'
    } >"$tmp/vars"
    local dev flag
    for dev in mtd1 mtd2; do
        flag=16
        [ $dev = mtd2 ] && flag=17
        [ -f "$res/$dev" ] && "$BIN/rig_envtool" show "$res/$dev" >"$res/$dev.show"
        expect_file "$dev: records of ker2 and fs2, boot arguments of bank 2, counter $flag" \
            <(expected_copy $flag <"$tmp/vars") "$res/$dev.show"
    done
}
