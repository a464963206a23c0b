#!/bin/sh
# rolm mkdir --grant and rolm grant, judged by the Unix mode bits that Wine
# gives the folders: others may write the granted folder, not its parent.
#   cli-grant.sh WINE_RUN PREFIX ROLM LETTER FOLDER   (FOLDER is mapped as LETTER)
set -e
run=$1 prefix=$2 rolm=$3 letter=$4 base=$5/cli-grant
umask 022
rm -rf "$base"
expect() {  # WHAT FILE DIGIT: the "others" digit of the file's mode
    got=$(stat -c %a "$2" | sed 's/.*\(.\)$/\1/')
    echo "$1: others of $2 are $got, expected $3"
    [ "$got" = "$3" ]
}
"$run" "$prefix" "$rolm" mkdir "$letter\\cli-grant\\open\\sub" --grant
expect "mkdir --grant" "$base/open/sub" 7
expect "parent left alone" "$base/open" 5
mkdir -m 700 "$base/closed"
"$run" "$prefix" "$rolm" grant "$letter\\cli-grant\\closed" --mask 0x80000000 --inherit 0
expect "grant GENERIC_READ" "$base/closed" 4
rm -rf "$base"
