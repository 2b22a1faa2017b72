#!/bin/bash
# Shell peer of the agent for the end-to-end benchmark: for every file closed after writing in, or
# moved into, one of the HOT folders, copy it to DEST, post the activity (TEMPLATE with @ID@, @NAME@
# and @DATETIME@ filled in) to URL with curl, and delete it once the post went out. One file at a
# time, as a `while read` loop does. File names are taken as they come: no escaping, no newlines.
#
# Usage: shell_peer.sh DEST URL TEMPLATE HOT...
# Prints "Watches established." on stderr once inotifywait watches every folder.
set -u
dest=$1 url=$2 template=$(<"$3")
shift 3
body=$(mktemp)
trap 'rm -f "$body"' EXIT
inotifywait -m -e close_write -e moved_to --format '%w%f' "$@" |
    while IFS= read -r path; do
        name=${path##*/}
        cp -- "$path" "$dest/$name" || continue
        read -r id </proc/sys/kernel/random/uuid
        printf -v now '%(%Y-%m-%d %H:%M:%S)T' -1
        xml=${template//@ID@/$id}
        xml=${xml//@NAME@/$name}
        printf '%s' "${xml//@DATETIME@/$now}" >"$body"
        curl -s -o /dev/null -X POST --data-binary @"$body" "$url" && rm -f -- "$path"
    done
