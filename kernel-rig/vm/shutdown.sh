#!/bin/sh
# A reboot was started: record it and save the results before init kills every process.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
. /rig/vm/lib.sh
uptime_s >"$RESULTS/reboot-at"
for s in $(cmdline_arg scenarios | tr ',' ' '); do
    . /rig/scenarios/$s.vm.sh
    type at_reboot_$s >/dev/null 2>&1 && at_reboot_$s
done
results_save
