# Host-side helpers of the rig: the kernel cache, the initramfs, booting, and the checks.
# Sourced by kernel-rig/rig.sh, which sets ROOT, RIG, WORK and BIN.

# The camera's flash on the NAND simulator: a 128 MiB chip (2048-byte pages, 64-byte OOB,
# 128 KiB blocks), the camera's eleven partitions in blocks, and the rest of the chip as a
# twelfth partition that the rig's own probes may use freely.
RIG_NAND_ID=0x20,0xf1,0x00,0x15
RIG_PAGE=2048
RIG_OOB=64
RIG_BLOCK=131072
RIG_PART_NAMES="uboot env1 env2 ker1 ker2 fs1 fs2 cfg oem rsd lorawanns rigscratch"
RIG_PART_BLOCKS="8 4 4 64 64 320 320 32 32 32 8 136"
RIG_SCRATCH_MTD=11
RIG_SCRATCH_BAD=2  # erase block index inside the scratch partition

# The chip block where partition N starts.
part_first_block() {
    local i=0 at=0
    for b in $RIG_PART_BLOCKS; do
        [ "$i" -eq "$1" ] && { echo "$at"; return; }
        at=$((at + b)) i=$((i + 1))
    done
}
part_blocks() { echo "$RIG_PART_BLOCKS" | cut -d' ' -f$(($1 + 1)); }

RIG_MODULES="mtd bch nandcore nand nandsim watchdog softdog virtio_blk virtio_pci"

log() { echo "rig: $*"; }
die() { echo "rig: $*" >&2; exit 1; }

# --- the kernel ---------------------------------------------------------------------------

# Fetches Debian's current amd64 kernel package once into $WORK/kernel/VERSION: the
# uncompressed vmlinux (qemu boots it through its PVH entry, faster than the bzImage) and the
# modules the rig loads, in load order (mod/order). Sets KERNEL_DIR.
kernel_fetch() {
    local pkg
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    if [ -z "$pkg" ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    fi
    if [ -z "$pkg" ]; then
        # No package index: a kernel fetched earlier still does.
        KERNEL_DIR=$(ls -d "$WORK"/kernel/*/ 2>/dev/null | tail -1)
        [ -n "$KERNEL_DIR" ] && [ -f "$KERNEL_DIR/ready" ] || die "no kernel package found"
        KERNEL_DIR=${KERNEL_DIR%/}
        return
    fi
    local version=${pkg#linux-image-}
    KERNEL_DIR=$WORK/kernel/$version
    [ -f "$KERNEL_DIR/ready" ] && return
    log "fetching kernel $pkg"
    local tmp=$WORK/kernel/tmp
    rm -rf "$tmp" "$KERNEL_DIR"
    mkdir -p "$tmp/root" "$KERNEL_DIR/mod"
    (cd "$tmp" && apt-get download -q "$pkg" >/dev/null 2>&1) || die "apt-get download $pkg failed"
    dpkg -x "$tmp"/*.deb "$tmp/root"
    local vmlinuz=$tmp/root/boot/vmlinuz-$version
    # The bzImage carries the kernel xz-compressed; xz complains about the bytes after the
    # stream, so judge the result, not its exit status.
    local at
    at=$(grep -abo $'\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1)
    [ -n "$at" ] || die "no xz stream in $vmlinuz"
    tail -c +$((at + 1)) "$vmlinuz" | xz -dc >"$KERNEL_DIR/vmlinux" 2>/dev/null || true
    [ "$(head -c 4 "$KERNEL_DIR/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
        die "could not extract vmlinux"
    depmod -b "$tmp/root" "$version"
    : >"$KERNEL_DIR/mod/order"
    local m line ko name
    for m in $RIG_MODULES; do
        while read -r line; do
            ko=${line#insmod }
            ko=${ko%% *}
            name=$(basename "$ko" .ko)
            grep -qx "$name" "$KERNEL_DIR/mod/order" && continue
            cp "$ko" "$KERNEL_DIR/mod/"
            echo "$name" >>"$KERNEL_DIR/mod/order"
        done < <(modprobe -d "$tmp/root" -S "$version" --show-depends "$m")
    done
    rm -rf "$tmp"
    touch "$KERNEL_DIR/ready"
}

# --- the initramfs ------------------------------------------------------------------------

# Copies a dynamically linked program and the shared libraries it needs into the staging tree.
stage_program() {
    local prog=$1 dest=$2 lib
    install -D -m 755 "$prog" "$STAGE$dest"
    for lib in $(ldd "$prog" 2>/dev/null | grep -o '/[^ ]*'); do
        [ -e "$STAGE$lib" ] || install -D -m 755 "$(readlink -f "$lib")" "$STAGE$lib"
    done
}

# Builds $WORK/initramfs.cpio: busybox, the modules, flash_erase, the camera programs, the
# rig's scripts and every scenario's input data (prepare_NAME of each scenario).
initramfs_build() {
    STAGE=$WORK/stage
    rm -rf "$STAGE"
    mkdir -p "$STAGE"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,mnt/nand,results,etc,rig/bin,rig/mod,rig/data}
    cp /bin/busybox "$STAGE/bin/busybox"
    ln -s busybox "$STAGE/bin/sh"
    ln -s bin/busybox "$STAGE/init"
    cp "$KERNEL_DIR"/mod/*.ko "$KERNEL_DIR/mod/order" "$STAGE/rig/mod/"
    stage_program /usr/sbin/flash_erase /usr/sbin/flash_erase
    stage_program "$BIN/update" /usr/bin/update
    stage_program "$BIN/qv_watchdog" /usr/bin/qv_watchdog
    stage_program "$BIN/mtd_probe" /rig/bin/mtd_probe
    cp "$RIG/vm/inittab" "$STAGE/etc/inittab"
    mkdir -p "$STAGE/rig/vm" "$STAGE/rig/scenarios"
    cp "$RIG"/vm/*.sh "$STAGE/rig/vm/"
    cp "$RIG"/scenarios/*.vm.sh "$STAGE/rig/scenarios/"
    cat >"$STAGE/rig/config.sh" <<CONF
RIG_NAND_ID=$RIG_NAND_ID
RIG_NAND_PARTS=$(echo $RIG_PART_BLOCKS | tr ' ' ',')
RIG_PART_NAMES="$RIG_PART_NAMES"
RIG_PART_COUNT=$(echo $RIG_PART_NAMES | wc -w)
RIG_PAGE=$RIG_PAGE
RIG_BLOCK=$RIG_BLOCK
RIG_SCRATCH_MTD=$RIG_SCRATCH_MTD
RIG_SCRATCH_BAD=$RIG_SCRATCH_BAD
CONF
    local s
    for s in $ALL_SCENARIOS; do
        if type "prepare_$s" >/dev/null 2>&1; then
            mkdir -p "$STAGE/rig/data/$s"
            "prepare_$s" "$STAGE/rig/data/$s"
        fi
    done
    (cd "$STAGE" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$WORK/initramfs.cpio"
}

# --- booting ------------------------------------------------------------------------------

# boot_phase PHASE BADBLOCKS SCENARIOS: boots the machine once, the runner doing SCENARIOS
# (comma-separated) with the NAND simulator's bad blocks BADBLOCKS; the console goes to
# $WORK/out/PHASE/console.log and the results drive is unpacked into $WORK/out/PHASE/results.
boot_phase() {
    local phase=$1 bad=$2 scen=$3
    local out=$WORK/out/$phase
    rm -rf "$out"
    mkdir -p "$out/results"
    truncate -s 64M "$out/results.img"
    local t0=$SECONDS
    local rc=0
    timeout 300 qemu-system-x86_64 -kernel "$KERNEL_DIR/vmlinux" -initrd "$WORK/initramfs.cpio" \
        -append "console=ttyS0 quiet panic=-1 ubi.mtd=fs1 rig.phase=$phase rig.badblocks=$bad rig.scenarios=$scen" \
        -display none -serial "file:$out/console.log" -monitor none -no-reboot -m 512M \
        -accel tcg -nic none -drive "file=$out/results.img,format=raw,if=virtio" </dev/null \
        >"$out/qemu.log" 2>&1 || rc=$?
    echo $rc >"$out/qemu.rc"
    tar -xf "$out/results.img" -C "$out/results" 2>/dev/null || true
    log "phase $phase: $((SECONDS - t0)) s"
}

# How the machine of a phase ended, from its console: poweroff, reboot, panic or unknown.
phase_end() {
    local c=$WORK/out/$1/console.log
    if grep -q 'Kernel panic' "$c"; then echo panic
    elif grep -q 'reboot: Restarting system' "$c"; then echo reboot
    elif grep -q 'reboot: Power down' "$c"; then echo poweroff
    else echo unknown; fi
}

# --- checks -------------------------------------------------------------------------------

PASSED=0
FAILED=0
FAILED_NAMES=()

pass() { PASSED=$((PASSED + 1)); echo "  ok    $CHECKING: $1"; }
fail() {
    FAILED=$((FAILED + 1))
    FAILED_NAMES+=("$CHECKING: $1")
    echo "  FAIL  $CHECKING: $1"
    shift
    local line
    for line in "$@"; do printf '%s\n' "$line" | sed 's/^/        /'; done
}

# expect_file WHAT EXPECTED_FILE ACTUAL_FILE: the two files are equal, byte for byte.
expect_file() {
    if [ ! -f "$3" ]; then
        fail "$1" "missing: ${3#$WORK/}"
    elif cmp -s "$2" "$3"; then
        pass "$1"
    else
        local d
        d=$(diff -u --label expected --label actual "$2" "$3" | head -40 | cat -A | sed 's/\$$//')
        fail "$1" "${3#$WORK/} differs:" "$d"
    fi
}

# expect_text WHAT EXPECTED_TEXT ACTUAL_FILE
expect_text() {
    local f
    f=$(mktemp)
    printf '%s' "$2" >"$f"
    expect_file "$1" "$f" "$3"
    rm -f "$f"
}

# expect_true WHAT DETAIL COMMAND...: the command succeeds.
expect_true() {
    local what=$1 detail=$2
    shift 2
    if "$@"; then pass "$what"; else fail "$what" "$detail"; fi
}
