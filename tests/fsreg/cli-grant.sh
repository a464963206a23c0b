#!/bin/sh
# rolm mkdir --grant and rolm grant, judged by the Unix mode bits that Wine
# gives the folders: others may write the granted folder, not its parent.
#   cli-grant.sh WINE_RUN PREFIX ROLM LETTER FOLDER   (FOLDER is mapped as LETTER)
set -e
run=$1 prefix=$2 rolm=$3 letter=$4 folder=$5
umask 022
base="$folder/cli-grant"
rm -rf "$base"

others() {  # the "others" digit of a file's mode
    stat -c %a "$1" | sed 's/.*\(.\)$/\1/'
}
expect() {  # what FILE DIGIT
    got=$(others "$2")
    if [ "$got" != "$3" ]; then
        echo "FAIL $1: others of $2 are $got, expected $3"
        exit 1
    fi
    echo "ok $1: others of $2 are $got"
}

"$run" "$prefix" "$rolm" mkdir "$letter\\cli-grant\\open\\sub" --grant
expect "mkdir --grant" "$base/open/sub" 7
expect "parent left alone" "$base/open" 5

mkdir "$base/closed"
chmod 700 "$base/closed"
"$run" "$prefix" "$rolm" grant "$letter\\cli-grant\\closed" --mask 0x80000000 --inherit 0
expect "grant GENERIC_READ" "$base/closed" 4
rm -rf "$base"
