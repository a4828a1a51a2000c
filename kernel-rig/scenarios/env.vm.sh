# The environment on real NAND: both copies written here, then update -D, -N, --show and -v,
# with the copies read back after every change.
run_env() {
    d=$RESULTS/env
    data=/rig/data/env
    mkdir -p $d
    flash_put /dev/mtd1 $data/copy0.bin
    flash_put /dev/mtd2 $data/copy1.bin
    capture $d open update
    flash_get /dev/mtd1 $d/open.mtd1 524288
    flash_get /dev/mtd2 $d/open.mtd2 524288
    capture $d delay update -D 300
    flash_get /dev/mtd1 $d/delay.mtd1 524288
    flash_get /dev/mtd2 $d/delay.mtd2 524288
    capture $d sn update -N "$(cat $data/sn-arg)"
    flash_get /dev/mtd1 $d/sn.mtd1 524288
    flash_get /dev/mtd2 $d/sn.mtd2 524288
    capture $d show update --show
    capture $d version update -v
}
