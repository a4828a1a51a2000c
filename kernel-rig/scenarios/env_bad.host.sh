# The environment with the first erase block of env1 bad. A copy has no spare block, so copy 0
# is unreadable and the store is not opened: every change fails with "Error: environment not
# available", the partition table and the printing fail, and neither copy is touched.

prepare_env_bad() {
    env_units "$1"
    part_first_block 1 >"$1/env1-first-block"
}

check_env_bad() {
    local res=$1/env_bad data=$STAGE/rig/data/env_bad
    expect_text "real flash_erase over env1's bad block: exit status 0" $'0\n' "$res/flash_erase.rc"

    expect_text "update -D 7: exit status 255" $'255\n' "$res/delay.rc"
    expect_text "update -D 7: stderr" $'Too few good blocks within range\nError: environment not available\nupdate bootdelay faild.\n' "$res/delay.err"
    expect_true "update -D 7: stdout is the usage text" "$(head -3 "$res/delay.out")" \
        grep -q '^Usage:$' "$res/delay.out"

    expect_text "update --show: exit status 0" $'0\n' "$res/show.rc"
    expect_file "update --show: stdout (no records, no variables)" \
        <(printf 'Quovera update version: 1.0.1 \n\nMore details:\n\nMtd information: \n'; expected_proc_mtd) \
        "$res/show.out"
    expect_text "update --show: stderr" \
        $'Too few good blocks within range\nflprog_get_part_table faild!\nhs_printenv faild!\n' "$res/show.err"

    expect_file "env2 is unchanged" "$data/copy1.bin" "$res/mtd2"
    expect_true "env1's good blocks are still erased" "something was written to env1" \
        cmp -s <(tail -c +$((RIG_BLOCK + 1)) "$res/mtd1") <(head -c $((3 * RIG_BLOCK)) /dev/zero | tr '\0' '\377')
}
