# Helpers for the scenario scripts inside the rig's virtual machine (busybox sh).
# The rig's configuration (written by the host) is in /rig/config.sh.
. /rig/config.sh

RESULTS=/results

# The value of rig.NAME= on the kernel command line.
cmdline_arg() {
    for word in $(cat /proc/cmdline); do
        case "$word" in "rig.$1="*) echo "${word#rig.$1=}"; return 0 ;; esac
    done
    return 1
}

log() { echo "rig: $*"; }

# (Re)loads the NAND simulator with the camera's partitions and the given bad blocks (block
# numbers of the whole chip, comma-separated; empty for none). Flash contents are lost.
nandsim_load() {
    if grep -q '^nandsim ' /proc/modules; then
        rmmod nandsim || return 1
    fi
    if [ -n "$1" ]; then
        insmod /rig/mod/nandsim.ko id_bytes="$RIG_NAND_ID" parts="$RIG_NAND_PARTS" badblocks="$1"
    else
        insmod /rig/mod/nandsim.ko id_bytes="$RIG_NAND_ID" parts="$RIG_NAND_PARTS"
    fi
    [ -c /dev/mtd$((RIG_PART_COUNT - 1)) ] || mdev -s
}

# Runs a command with its stdout, stderr and exit status saved as DIR/NAME.out, .err, .rc.
capture() {
    dir=$1 name=$2
    shift 2
    mkdir -p "$dir"
    "$@" >"$dir/$name.out" 2>"$dir/$name.err"
    echo $? >"$dir/$name.rc"
}

# Writes FILE to the start of an MTD device after erasing all of it (bad blocks are skipped by
# flash_erase). FILE must be a whole number of pages.
flash_put() {
    dev=$1 file=$2
    /usr/sbin/flash_erase -q "$dev" 0 0 || return 1
    dd if="$file" of="$dev" bs="$RIG_PAGE" 2>/dev/null
}

# Copies the first BYTES bytes of an MTD device to a file.
flash_get() {
    dd if="$1" of="$2" bs="$RIG_BLOCK" count=$(($3 / RIG_BLOCK)) 2>/dev/null
}

# Seconds since boot, with hundredths.
uptime_s() { cut -d' ' -f1 /proc/uptime; }

# Writes everything under /results to the results drive, the host's only way to see it.
results_save() {
    dmesg >"$RESULTS/dmesg.txt" 2>/dev/null
    uptime_s >"$RESULTS/saved-at"
    tar -cf /dev/vda -C "$RESULTS" . && sync
}
