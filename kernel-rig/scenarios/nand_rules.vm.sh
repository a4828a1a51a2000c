# The NAND rules of the simulated camera against the kernel: one table of MTD operations on
# the scratch partition of the NAND simulator (erased, with one bad block).
run_nand_rules() {
    d=$RESULTS/nand_rules
    mkdir -p $d
    capture $d probe /rig/bin/mtd_probe /dev/mtd$RIG_SCRATCH_MTD $RIG_SCRATCH_BAD
    # What the real flash_erase says about the bad block, and what it leaves erased.
    capture $d flash_erase /usr/sbin/flash_erase /dev/mtd$RIG_SCRATCH_MTD 0 0
    dd if=/dev/mtd$RIG_SCRATCH_MTD bs=$RIG_BLOCK count=$((RIG_SCRATCH_BAD + 2)) 2>/dev/null |
        md5sum | cut -d' ' -f1 >$d/after_flash_erase.md5
}
