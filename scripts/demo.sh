#!/bin/bash
# Builds everything, then runs the main job on a simulated camera: a factory-fresh camera, an
# UpgradeImage packed from component files, update listing and installing it into the bank that
# is not running, and the camera's next power-on starting the new bank.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
bin=$PWD/build/bin
work=$(mktemp -d /tmp/camera-demo.XXXXXX)
cam=$work/camera

echo "== a factory-fresh simulated camera in $cam"
"$bin/camsim" init "$cam" --small

echo "== an UpgradeImage with a new kernel and root filesystem"
head -c 300000 /dev/urandom >"$work/kernel.bin"
head -c 900000 /dev/urandom >"$work/rootfs.bin"
mkdir -p "$cam/dev/shm"
"$bin/mkupgrade" --version 1.7.0.80 -o "$cam/dev/shm/updateFM.bin" \
    ker="$work/kernel.bin" fs="$work/rootfs.bin"

echo "== update -l"
CAMSIM_ROOT=$cam "$bin/update-sim" -l

echo "== update -u: into bank 2, read back, recorded, then the boot arguments switch"
CAMSIM_ROOT=$cam "$bin/update-sim" -u

echo "== the ResultLog"
tr -d '\0' <"$cam/mnt/nand/upfw.log"

echo "== camsim boot: the next power-on"
"$bin/camsim" boot "$cam"
