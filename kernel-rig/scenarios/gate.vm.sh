# The compatibility gate on a real kernel: no I2C bus at all, and a /dev/mem that refuses the
# MDIO window. update -a and -u refuse or pass header-only images as the rules say.

run_gate() {
    d=$RESULTS/gate
    data=/rig/data/gate
    mkdir -p $d
    flash_put /dev/mtd1 $data/copy0.bin
    flash_put /dev/mtd2 $data/copy1.bin
    rm -f /mnt/nand/upfw.log /tmp/sensor_type /tmp/codec_type
    ls /dev/i2c-3 >$d/i2c-3.ls 2>&1
    # No chipinfo yet: the built-in code, stored by the AI type migration.
    capture $d pass update -a $data/1.7.0.77.bin
    [ -f /mnt/nand/upfw.log ] && mv /mnt/nand/upfw.log $d/pass.log
    # From here on the code comes from the environment.
    capture $d eeprom update -a $data/1.7.0.62.bin
    mv /mnt/nand/upfw.log $d/eeprom.log
    capture $d platform update -u $data/2.7.0.77.bin
    mv /mnt/nand/upfw.log $d/platform.log
    echo imx327 >/tmp/sensor_type
    capture $d sensor update -a $data/1.7.0.64.bin
    mv /mnt/nand/upfw.log $d/sensor.log
    rm -f /tmp/sensor_type
    printf codec_external_8822 >/tmp/codec_type
    capture $d codec update -a $data/1.7.0.57.bin
    mv /mnt/nand/upfw.log $d/codec.log
    rm -f /tmp/codec_type
    capture $d missing update -a $data/none.bin
    mv /mnt/nand/upfw.log $d/missing.log
    flash_get /dev/mtd1 $d/mtd1 524288
    flash_get /dev/mtd2 $d/mtd2 524288
}
