#!/bin/sh
# Brings the machine up: file systems, modules, the NAND simulator with the camera's partitions
# (listed under the camera's names in /proc/mtd), the software watchdog.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm /tmp /mnt/nand /results
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tracefs tracefs /sys/kernel/tracing 2>/dev/null
. /rig/vm/lib.sh

for m in $(cat /rig/mod/order); do
    case "$m" in
    nandsim) nandsim_load "$(cmdline_arg badblocks)" || echo "rig: nandsim did not load" ;;
    softdog) insmod /rig/mod/softdog.ko soft_noboot=1 ;;
    *) insmod /rig/mod/$m.ko ;;
    esac
done

# This kernel cannot rename the simulator's partitions: list them under the camera's names.
i=0
cp /proc/mtd /tmp/proc_mtd
for name in $RIG_PART_NAMES; do
    sed -i "s/\"NAND simulator partition $i\"/\"$name\"/" /tmp/proc_mtd
    i=$((i + 1))
done
mount --bind /tmp/proc_mtd /proc/mtd
