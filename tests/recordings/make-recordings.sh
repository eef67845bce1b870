#!/usr/bin/env bash
# Makes the recordings of this folder again, against the module simulator
# and the update server simulator: run it inside a private network namespace,
#   tools/netns-run tests/recordings/make-recordings.sh [BUILD_DIR]
# The firmware is a fixed pattern, so only times, ports and the server's
# address change from one run to the next.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

"$build/sim/corvestel-sim" --lifetime 120 --bind 198.18.0.1 --discovery 198.18.0.1 --ready-file ready \
  --module "serial=D272031D,model=17,address=2,name=Demo router,version=2.15.4,build=5101" \
  --behind "serial=2181F0EE,model=13,address=4,name=Bench IO,version=2.15.2,build=5011" \
  --behind "serial=40F5849A,model=26,address=8,name=Power,version=2.14.2,build=4711,newversion=2.14.9,newbuild=4870" \
  --module "serial=6A3C0012,model=19,address=2,name=Relay rack,version=3.0.1,build=6002,newversion=3.0.2,newbuild=6010" \
  > sim.out 2> sim.err &
pids+=($!)

# The update server offers one build of 40F5849A and one of 6A3C0012.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) & 255 for i in range(600)))' > fw.bin
serve() {
  mkdir -p "srv/$1"
  "$build/tools/birdtool" create -o "srv/$1/$2.bird" --firmware 0x8000:fw.bin --build "$2" --version "$3" \
    --serial "$1" --model "$4" > /dev/null
  printf "%s\nFW-%s\n" "$2" "$2" > "srv/$1/latest"
  printf "%s;%s\n" "$2" "$3" > "srv/$1/builds"
}
serve 40F5849A 4870 2.14.9 Oriel
serve 6A3C0012 6010 3.0.2 Saltire
python3 "$source_dir/sim/update_server.py" --root srv --port-file server.port --lifetime 120 > /dev/null 2>&1 &
pids+=($!)
end=$(( $(date +%s) + 30 ))
until [ -f ready ] && [ -s server.port ]; do
  [ "$(date +%s)" -lt "$end" ] || { echo "the simulators did not start" >&2; cat sim.err >&2; exit 1; }
  sleep 0.05
done
url="http://127.0.0.1:$(cat server.port)/cgi/u"

record() {
  local name=$1; shift
  "$build/Updater" --record "$name.jsonl" "$@" > /dev/null 2>&1 || true
  cp "$name.jsonl" "$here/$name.jsonl"
  echo "$name.jsonl: $(wc -l < "$name.jsonl") records"
}
record discovery -D -t TCPIP
record router -D -r D272031D
record download -G -d 40F5849A -u "$url" -i store
record update-router -U -d 40F5849A -r D272031D -u "$url" -i store
record update-direct -G -U -d 6A3C0012 -t TCPIP -u "$url" -i store
# The same build again, from a file given on the command line.
record update-file -U -d 40F5849A -r D272031D -f srv/40F5849A/4870.bird -u "$url" -i store

# A module on the simulated USB bus: it leaves the bus when its loader starts
# and when it restarts after the update, and comes back as a new device.
cp srv/40F5849A/4870.bird usb-update.bird
"$source_dir/sim/usbbus/corvestel-usbbus" --sim "$build/sim/corvestel-sim" --lifetime 120 \
  --module "serial=40F5849A,model=26,name=Power,version=2.14.2,build=4711,newversion=2.14.9,newbuild=4870" \
  -- "$build/Updater" --record usb-update.jsonl -U -d 40F5849A -t USB -f usb-update.bird -i usb-store \
  > /dev/null 2>&1 || true
cp usb-update.jsonl "$here/usb-update.jsonl"
echo "usb-update.jsonl: $(wc -l < usb-update.jsonl) records"

# An i.MX boot ROM on USB (HID): the Updater writes the recovery loader the
# update server keeps for the placeholder serial number DEADDEAD, jumps to
# it, and reads the chip's identifier from the loader once it is on the bus.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 11 + 5) & 255 for i in range(64)))' > table.bin
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 13 + 1) & 255 for i in range(900)))' > code.bin
mkdir -p srv/DEADDEAD
"$build/tools/birdtool" create -o srv/DEADDEAD/9001.bird --loader 0x20000000:table.bin \
  --loader 0x20002000:code.bin --entry 0x20002000 --build 9001 --version 0.9.0 --serial DEADDEAD \
  --model CVR-LOADER > /dev/null
printf "9001\nLOADER\n" > srv/DEADDEAD/latest
printf "9001;0.9.0\n" > srv/DEADDEAD/builds
"$build/sim/bootrom/corvestel-bootrom" --kind sdp --hid --trace rom.trace --lifetime 120 > rom.out 2> rom.err &
pids+=($!)
end=$(( $(date +%s) + 30 ))
until grep -q READY rom.out; do
  [ "$(date +%s)" -lt "$end" ] || { echo "the boot ROM did not start" >&2; exit 1; }
  sleep 0.05
done
"$source_dir/sim/usbbus/corvestel-usbbus" --sim "$build/sim/corvestel-sim" --lifetime 120 \
  --imxrom "trace=rom.trace,pty=$(awk '/READY/ {print $2}' rom.out)" \
  --module "serial=DEADDEAD,model=13,plugged=0,uid=11111111:22222222:33333333:44444444" \
  -- "$build/Updater" --record imx-usb.jsonl -N -s USB -u "$url" -i imx-store > /dev/null 2>&1 || true
cp imx-usb.jsonl "$here/imx-usb.jsonl"
echo "imx-usb.jsonl: $(wc -l < imx-usb.jsonl) records"

# AETHER searches of the module on the USB bus shared by corvestel-serve:
# in local mode the multicast query finds it, on the network its beacon.
record_aether() {
  local name=$1; shift
  "$source_dir/sim/usbbus/corvestel-usbbus" --sim "$build/sim/corvestel-sim" --lifetime 120 \
    --module "serial=40F5849A,model=26,name=Power,version=2.14.2,build=4711" -- /bin/bash -c '
    build=$1 name=$2; shift 2
    "$build/corvestel-serve" -d 40F5849A "$@" --foreground > serve.out 2>&1 &
    serve=$!
    end=$(( $(date +%s) + 30 ))
    until grep -q "^Serving module" serve.out; do
      [ "$(date +%s)" -lt "$end" ] || { echo "corvestel-serve did not start" >&2; kill $serve; exit 1; }
      sleep 0.05
    done
    "$build/Updater" --record "$name.jsonl" -D -t AETHER > /dev/null 2>&1
    kill $serve; wait $serve' sh "$build" "$name" "$@" || true
  cp "$name.jsonl" "$here/$name.jsonl"
  echo "$name.jsonl: $(wc -l < "$name.jsonl") records"
}
record_aether aether
record_aether aether-network --network 198.18.0.1

# An LPC boot ROM on a serial line (a pseudo-terminal), fresh for each run:
# the Updater reads the chip's identity, then recovers a module from a
# firmware file kept beside the recordings, since a replay needs the same
# bytes. The image is a fixed pattern encoded for the chip's identity: each
# byte XORed with the identity's byte at its place (the four words in turn,
# most significant byte first) and with the plain byte before it.
python3 -c '
import sys
uid = (0xDEADBEEF, 0x00000001, 0x80000000, 0x7FFFFFFF)
previous, out = 0, bytearray()
for i in range(1024):
    plain = (i * 5 + 17) & 255
    out.append(plain ^ (uid[i % 16 // 4] >> (24 - 8 * (i % 4))) & 255 ^ previous)
    previous = plain
sys.stdout.buffer.write(out)' > lpc.bin
"$build/tools/birdtool" create -o lpc-recovery.bird --firmware 0x0:lpc.bin --build 5120 --version 3.1.4 \
  --serial 5A17C0DE --model CVR-IO > /dev/null
cp lpc-recovery.bird "$here/lpc-recovery.bird"
record_lpc() {
  local name=$1; shift
  "$build/sim/bootrom/corvestel-bootrom" --kind isp --uid DEADBEEF,1,80000000,7FFFFFFF --lifetime 120 \
    > "$name.rom" 2> "$name.rom.err" &
  local rom=$!
  pids+=($rom)
  end=$(( $(date +%s) + 30 ))
  until grep -q READY "$name.rom"; do
    [ "$(date +%s)" -lt "$end" ] || { echo "the LPC boot ROM did not start" >&2; exit 1; }
    sleep 0.05
  done
  "$build/Updater" --record "$name.jsonl" "$@" -s "$(awk '/READY/ {print $2}' "$name.rom")" \
    -u http://127.0.0.1:9/cgi/u -i store > /dev/null 2>&1 || true
  kill "$rom" 2>/dev/null || true
  cp "$name.jsonl" "$here/$name.jsonl"
  echo "$name.jsonl: $(wc -l < "$name.jsonl") records"
}
record_lpc lpc-fingerprint -N
record_lpc lpc-recovery -U -t RECOVER -d 5A17C0DE -f lpc-recovery.bird
