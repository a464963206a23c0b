#!/bin/sh
# imports.sh OUT NM UNDERSCORED OBJECT...: the system calls that each family's objects import, as C++ rows
# {"family", "name"} for StandInsCover (faults.h). A family is its object's folder; the library's own names
# (C++ ones, and its data g_...) are left out. OUT is rewritten only when the list changes.
out=$1 nm=$2 strip=$([ "$3" = 1 ] && echo _)
shift 3
for object; do
    family=$(basename "$(dirname "$object")")
    "$nm" -u "$object" | sed -e 's/^ *U //' -e 's/^__imp_//' -e 's/@[0-9]*$//' -e "s/^$strip//" |
        grep -v '^\(_Z\|g_\)' | sed "s/.*/    {\"$family\", \"&\"},/"
done | sort -u >"$out.new"
cmp -s "$out.new" "$out" || mv "$out.new" "$out"
