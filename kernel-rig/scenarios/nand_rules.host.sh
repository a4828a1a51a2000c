# The NAND rules of the simulated camera against the kernel. The probe's table from nandsim
# (in the machine) and from a simulated camera with the same device must be the same.

check_nand_rules() {
    local res=$1/nand_rules
    local sim=$WORK/out/simcam
    local size=$(($(part_blocks $RIG_SCRATCH_MTD) * RIG_BLOCK))
    rm -rf "$sim"
    mkdir -p "$sim/dev" "$sim/sim"
    printf 'mtd%d %s 0x%x 0x%x 0x%x %d nand bad=%d\n' $RIG_SCRATCH_MTD rigscratch $size \
        $RIG_BLOCK $RIG_PAGE $RIG_OOB $RIG_SCRATCH_BAD >"$sim/flash.conf"
    head -c $size /dev/zero | tr '\0' '\377' >"$sim/dev/mtd$RIG_SCRATCH_MTD"
    CAMSIM_ROOT=$sim "$BIN/mtd_probe-sim" /dev/mtd$RIG_SCRATCH_MTD $RIG_SCRATCH_BAD \
        >"$res/probe-sim.out" 2>"$res/probe-sim.err" || true

    if [ ! -s "$res/probe.out" ] || [ "$(cat "$res/probe.rc" 2>/dev/null)" != 0 ]; then
        fail "the probe ran on nandsim" "rc $(cat "$res/probe.rc" 2>/dev/null)" \
            "$(cat "$res/probe.err" 2>/dev/null)"
        return
    fi
    pass "the probe ran on nandsim ($(wc -l <"$res/probe.out") operations)"
    # Facts measured on this kernel that the rest of the project relies on.
    local row want
    while IFS='|' read -r row want; do
        if grep -q "^$row  *$want\$" "$res/probe.out"; then
            pass "kernel: $row gives $want"
        else
            fail "kernel: $row gives $want" "$(grep "^$row " "$res/probe.out" || echo "no row")"
        fi
    done <<'ROWS'
MEMGETBADBLOCK bad block|ok 1
MEMERASE bad block|err EIO
write at a 512-byte offset|ok 2048
write at a 100-byte offset|err EINVAL
write 1024 bytes|ok 1024
write 1000 bytes|err EINVAL
write into the bad block|ok 2048
write page 0 again without erase|ok 2048
MEMLOCK block 0|err ENOTSUPP(524)
MEMUNLOCK block 0|err ENOTSUPP(524)
ROWS
    side_by_side "$res/probe.out" "$res/probe-sim.out" >"$res/table.txt"
    if cmp -s "$res/probe.out" "$res/probe-sim.out"; then
        pass "the simulated camera gives the same table as the kernel"
    else
        local details=("$(side_by_side "$res/probe.out" "$res/probe-sim.out" differences)")
        [ -s "$res/probe-sim.err" ] && details+=("$(sed 's/^/simulated camera: /' "$res/probe-sim.err" | head -3)")
        fail "the simulated camera gives the same table as the kernel" "${details[@]}" \
            "whole table: ${res#$ROOT/}/table.txt"
    fi
    # The sim suite checks the simulated camera against this recording on every test run; it
    # holds only while the recording is still what the kernel prints.
    local recorded=$ROOT/tests/sim/nandsim_probe_table.txt
    if cmp -s "$res/probe.out" "$recorded"; then
        pass "the kernel's table is the one recorded in ${recorded#$ROOT/}"
    else
        fail "the kernel's table is the one recorded in ${recorded#$ROOT/}" \
            "$(diff --label recorded --label kernel -u "$recorded" "$res/probe.out" | head -30)" \
            "after mending the simulated camera: cp ${res#$ROOT/}/probe.out ${recorded#$ROOT/}"
    fi
    # Not a rule of the simulated camera's devices, but what the programs meet when they run
    # the real flash_erase: its progress on stdout, and complaints when there is a bad block.
    echo "        real flash_erase over a bad block: exit status $(cat "$res/flash_erase.rc")," \
        "$(tr '\r' '\n' <"$res/flash_erase.out" | grep -c .) progress lines on stdout," \
        "$(grep -c . <"$res/flash_erase.err") lines on stderr"
}

# Two probe tables side by side (only the rows that differ when $3 is given).
side_by_side() {
    printf '%-44s %-22s %s\n' operation kernel 'simulated camera'
    paste -d'\n' "$1" "$2" | paste -d'\t' - - | while IFS=$'\t' read -r k s; do
        [ -n "${3:-}" ] && [ "$k" = "$s" ] && continue
        printf '%-44s %-22s %s\n' "${k:0:44}" "${k:45}" "${s:45}"
    done
}
