#!/usr/bin/env bash
# Checks that the loss totals' sequence lock keeps its memory order on ARM,
# where relaxed and ordered accesses compile differently (on x86 they do
# not, so no test run there can see one made relaxed):
#   check_barriers.sh OBJDUMP OBJECT...  (the losses object among them)
# The writer orders its data stores and its closing count store after what
# came before (release), the reader its opening count load and its data
# loads before what comes after (acquire): three each, in code the compiler
# does not unroll. On ARMv6 each is a barrier (CP15 c7, c10, 5, or dmb); on
# ARMv8 a release store (stlr) or an acquire load (ldar, ldapr).
set -euo pipefail
objdump=$1
shift
object=
for o in "$@"; do case $o in *losses.cpp.o) object=$o ;; esac; done
[ -n "$object" ] || { echo "no losses object among: $*" >&2; exit 1; }

# count FUNCTION PATTERN: instructions of FUNCTION matching PATTERN.
count() {
    "$objdump" -d "$object" | awk -v fn="$1" '
        /^[0-9a-f]+ <.*>:$/ { inside = index($0, fn) > 0; next }
        inside' | grep -cE "$2" || true
}
barrier='\s(dmb|mcr\s+15, 0, r[0-9]+, cr7, cr10, \{5\})'
status=0
for check in "addLosses:$barrier|\sstlr\s" "rxsnEdgeLosses:$barrier|\s(ldar|ldapr)\s"; do
    fn=${check%%:*}
    n=$(count "$fn" "${check#*:}")
    if [ "$n" != 3 ]; then
        echo "$fn: $n ordered accesses where the sequence lock needs 3" >&2
        status=1
    else
        echo "$fn: 3 ordered accesses"
    fi
done
exit $status
