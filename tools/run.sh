#!/usr/bin/env bash
# Installs what is needed, builds the daemon and the client, and starts the daemon in the
# foreground under your own account with the development identity (Ctrl-C stops it).
# It prints what to type in a second terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="build"
demo_dir="/Library/Caches/TavelinDemo"

tools/bootstrap.sh
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target tavelin-helper tavelinctl

daemon="$build_dir/TavelinHelper/tavelin-helper"
client="$(pwd)/$build_dir/tools/tavelinctl/tavelinctl"
unsigned="$(pwd)/$build_dir/tavelinctl-unsigned"

# An unsigned copy of the client: the file cut back to what its signature covers (the
# 16-byte trailer at the end gives the length of the signature block before it).
size=$(stat -c %s "$client")
block=$(tail -c 16 "$client" | head -c 8 | od -An -t u8 | tr -d ' ')
head -c $((size - 16 - block)) "$client" >"$unsigned"
chmod 755 "$unsigned"

# A scratch folder below one of the five removable directories, with something in it.
if mkdir -p "$demo_dir" 2>/dev/null && [ -w "$demo_dir" ]; then
    mkdir -p "$demo_dir/old-cache"
    head -c 1048576 /dev/zero >"$demo_dir/old-cache/blob"
    prepare=""
else
    prepare="    sudo mkdir -p $demo_dir/old-cache && sudo chown -R $(id -un) $demo_dir
    head -c 1048576 /dev/zero > $demo_dir/old-cache/blob
"
fi

cat <<TEXT

The daemon starts below and logs to this terminal. In a second terminal:

    $client version
        -> 0.0.1
${prepare}    $client remove $demo_dir/old-cache
        -> the message counting one removed path, and the freed bytes; here the
           daemon logs the "perform:" line and the removed path with its size
    $unsigned version
        -> tavelinctl exits with status 2: the helper refused the connection;
           here the daemon logs the reason and
           "[TavelinHelper] Verbindung ABGELEHNT (Signaturprüfung fehlgeschlagen, pid=...)"

TEXT

exec "$daemon"
