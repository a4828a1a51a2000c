# update -S 2: the switched boot arguments on flash, then the real reboot ends the machine.
run_switch() {
    d=$RESULTS/switch
    data=/rig/data/switch
    mkdir -p $d
    flash_put /dev/mtd1 $data/copy0.bin
    flash_put /dev/mtd2 $data/copy1.bin
    uptime_s >$d/update-started
    update -S 2 >$d/S.out 2>$d/S.err
    echo $? >$d/S.rc
    # The reboot has been started; init ends this script while it waits here.
    sleep 60
}
at_reboot_switch() {
    d=$RESULTS/switch
    flash_get /dev/mtd1 $d/mtd1 524288
    flash_get /dev/mtd2 $d/mtd2 524288
}
