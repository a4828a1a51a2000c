# The environment with the first block of env1 bad: copy 0 can be neither read nor written,
# so the store cannot be opened, and nothing may reach the flash.
run_env_bad() {
    d=$RESULTS/env_bad
    data=/rig/data/env_bad
    mkdir -p $d
    nandsim_load "$(cmdline_arg badblocks),$(cat $data/env1-first-block)"
    capture $d flash_erase /usr/sbin/flash_erase /dev/mtd1 0 0
    flash_put /dev/mtd2 $data/copy1.bin
    capture $d delay update -D 7
    capture $d show update --show
    flash_get /dev/mtd1 $d/mtd1 524288
    flash_get /dev/mtd2 $d/mtd2 524288
    nandsim_load "$(cmdline_arg badblocks)"
}
