#!/bin/bash
# The real-kernel rig: boots Debian's kernel under qemu with the NAND simulator and the software
# watchdog, runs the camera programs (Linux build) against real MTD devices, real flash_erase and
# a real /dev/watchdog, and checks on the host what they left behind. Exit status 0 when every
# check passes.
#
#   bash kernel-rig/rig.sh [--bin DIR] [--no-boot] [SCENARIO...]
#
# --bin DIR takes the programs from DIR instead of building build/bin with scripts/build.sh.
# --no-boot checks the results of the last boots again without booting.
# Naming scenarios runs only the phases (boots) that contain them.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
RIG=$ROOT/kernel-rig
WORK=$ROOT/build-rig
BIN=
boot=1
only=()
while [ $# -gt 0 ]; do
    case "$1" in
    --bin) BIN=$(cd "$2" && pwd); shift 2 ;;
    --no-boot) boot=0; shift ;;
    -h | --help) sed -n '2,11p' "$0"; exit 0 ;;
    *) only+=("$1"); shift ;;
    esac
done

. "$RIG/lib/host.sh"

# One boot each: NAME|EXTRA_BAD_BLOCKS|SCENARIOS|HOW_IT_ENDS. Every boot's NAND simulator has
# the scratch partition's bad block; a scenario that needs other bad blocks reloads it.
# Later scenarios (an install on NAND with bad blocks, the gate's probes) join a phase here or
# bring their own, with kernel-rig/scenarios/NAME.vm.sh and NAME.host.sh.
PHASES=(
    "main||watchdog,nand_rules,env,env_bad|poweroff"
    "wd_dead||watchdog_dead|reboot"
    "switch||switch|reboot"
    "gate||gate|poweroff"
    "install|81,467|install|poweroff"  # ker2's block 1 and fs2's block 3 (scenarios/install.host.sh)
)
ALL_SCENARIOS=$(for p in "${PHASES[@]}"; do echo "$p" | cut -d'|' -f3 | tr ',' '\n'; done)
for s in $ALL_SCENARIOS; do
    . "$RIG/scenarios/$s.host.sh"
done

t_start=$SECONDS
bash scripts/install-deps.sh qemu-system-x86 busybox-static mtd-utils cpio kmod xz-utils
if [ -z "$BIN" ]; then
    bash scripts/build.sh >/dev/null
    BIN=$ROOT/build/bin
fi
for p in update qv_watchdog mtd_probe mtd_probe-sim rig_envtool; do
    [ -x "$BIN/$p" ] || die "$BIN/$p is missing"
done
mkdir -p "$WORK"
kernel_fetch
log "kernel $(basename "$KERNEL_DIR")"
initramfs_build

scratch_bad=$(($(part_first_block $RIG_SCRATCH_MTD) + RIG_SCRATCH_BAD))
run_phases=()
for p in "${PHASES[@]}"; do
    IFS='|' read -r name extra scen ends <<<"$p"
    if [ ${#only[@]} -gt 0 ]; then
        want=0
        for s in "${only[@]}"; do [[ ",$scen," == *",$s,"* ]] && want=1; done
        [ $want = 1 ] || continue
    fi
    run_phases+=("$p")
done
[ ${#run_phases[@]} -gt 0 ] || die "no phase runs the scenarios ${only[*]}"

# Two boots at a time (the machine has two cores), in the order of PHASES: the long ones first.
if [ $boot = 1 ]; then
    running=0
    for p in "${run_phases[@]}"; do
        IFS='|' read -r name extra scen ends <<<"$p"
        if [ $running -ge 2 ]; then
            wait -n || true
            running=$((running - 1))
        fi
        boot_phase "$name" "$scratch_bad${extra:+,$extra}" "$scen" &
        running=$((running + 1))
    done
    wait
fi

# The checks go on after a failed command: each reports its own failure.
set +e +o pipefail
for p in "${run_phases[@]}"; do
    IFS='|' read -r name extra scen ends <<<"$p"
    out=$WORK/out/$name
    CHECKING=$name
    echo "== phase $name"
    got=$(phase_end "$name")
    if [ "$got" = "$ends" ]; then
        pass "the machine ended by $ends"
    else
        fail "the machine ended by $ends" "it ended by: $got (console: ${out#$ROOT/}/console.log)" \
            "$(tail -5 "$out/console.log" | tr -d '\r')"
    fi
    for s in $(echo "$scen" | tr ',' ' '); do
        CHECKING=$s
        "check_$s" "$out/results"
    done
done

echo "== rig: $((SECONDS - t_start)) s"
for f in "${FAILED_NAMES[@]+"${FAILED_NAMES[@]}"}"; do echo "  failed: $f"; done
echo "rig: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
