#!/bin/sh
# Runs the scenarios of the phase named by rig.phase= on the kernel command line, in order:
# first every scenario's begin_NAME (background work that spans the phase), then each run_NAME,
# then each end_NAME. Scenario NAME lives in /rig/scenarios/NAME.vm.sh.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
. /rig/vm/lib.sh
phase=$(cmdline_arg phase)
scenarios=$(cmdline_arg scenarios | tr ',' ' ')
log "phase $phase: $scenarios"
echo "$phase" >"$RESULTS/phase"
uptime_s >"$RESULTS/started-at"
cp /proc/mtd "$RESULTS/proc_mtd"

for s in $scenarios; do
    . /rig/scenarios/$s.vm.sh
done
has() { type "$1" >/dev/null 2>&1; }
for s in $scenarios; do has begin_$s && { log "begin $s"; begin_$s; }; done
for s in $scenarios; do has run_$s && { log "run $s"; run_$s; }; done
for s in $scenarios; do has end_$s && { log "end $s"; end_$s; }; done
log "phase $phase done"
echo done >"$RESULTS/runner-done"
results_save
poweroff -f
