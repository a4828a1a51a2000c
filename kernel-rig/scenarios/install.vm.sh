# update -u on real NAND, with a bad block inside the data of ker2 and of fs2 (the phase's extra
# bad blocks): the image goes to bank 2, is read back, recorded, and the boot arguments switch.
run_install() {
    d=$RESULTS/install
    data=/rig/data/install
    mkdir -p $d /dev/shm /mnt/nand
    flash_put /dev/mtd1 $data/copy0.bin
    flash_put /dev/mtd2 $data/copy1.bin
    rm -f /mnt/nand/upfw.log
    cp $data/update.bin /dev/shm/updateFM.bin
    capture $d install update -u
    cp /mnt/nand/upfw.log $d/upfw.log
    cp /mnt/nand/fyi2/FYI_config.bin $d/tool.bin
    flash_get /dev/mtd4 $d/mtd4 1048576
    flash_get /dev/mtd6 $d/mtd6 2097152
    flash_get /dev/mtd1 $d/mtd1 524288
    flash_get /dev/mtd2 $d/mtd2 524288
}
