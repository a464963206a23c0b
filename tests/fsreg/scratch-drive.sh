#!/bin/sh
# Maps (or, with "cleanup", removes) a scratch drive letter of the test prefix:
# a fresh, empty Unix folder linked as <prefix>/dosdevices/<letter>.
#   scratch-drive.sh setup|cleanup PREFIX LETTER FOLDER
set -e
action=$1 prefix=$2 letter=$3 folder=$4
here=$(cd "$(dirname "$0")/../../scripts" && pwd)
rm -rf "$folder" "$prefix/dosdevices/$letter"
if [ "$action" = setup ]; then
    "$here/wine-prefix.sh" "$prefix"
    # The prefix's services start with the server's first program and inherit
    # its error output; started here, they hold no pipe that ctest waits on.
    "$here/wine-run.sh" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
    mkdir -p "$folder"
    ln -sfn "$folder" "$prefix/dosdevices/$letter"
fi
