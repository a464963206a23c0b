# imports.sh OUT NM UNDERSCORED OBJECT...: {"family", "name"} rows of the objects' system calls, for StandInsCover.
out=$1 nm=$2 strip=$([ "$3" = 1 ] && echo _)
shift 3
for object; do
    family=$(basename "$(dirname "$object")")
    "$nm" -u "$object" | sed -e 's/^ *U //' -e 's/^__imp_//' -e 's/@[0-9]*$//' -e "s/^$strip//" |
        grep -v '^\(_Z\|g_\)' | sed "s/.*/    {\"$family\", \"&\"},/"
done | sort -u >"$out.new"
cmp -s "$out.new" "$out" || mv "$out.new" "$out"
