#!/bin/sh
# The camera programs may need nothing but the C library (and its loader).
status=0
for program in "$@"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [ -n "$needed" ] || { echo "$program: no NEEDED entries found"; status=1; continue; }
    extra=$(printf '%s\n' "$needed" | grep -v -E '^(libc\.so\.[0-9]+|ld-linux[-a-z0-9_.]*\.so\.[0-9]+)$')
    if [ -n "$extra" ]; then
        echo "$program needs more than the C library:" $extra
        status=1
    else
        echo "$program: only" $needed
    fi
done
exit $status
