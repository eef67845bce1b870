#!/usr/bin/env bash
# Builds everything (installing what is missing) and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh
echo

# Everything below runs inside a private network namespace (tools/netns-run):
# the discovery searches multicast, and that must never leave this machine.
# There a simulated router module with two modules on its I2C network and one
# more module listen on tv0 (198.18.0.1) and answer discovery; the Updater
# finds them over TCPIP and scans the router's network. Two more modules sit
# on a simulated USB bus.
BUILD_DIR=${BUILD_DIR:-build}
inside='
set -uo pipefail
build=$1 router=$2
work=$(mktemp -d)
sim_pid=
# Waits until a command succeeds, at most SECONDS: a deadline, never a count
# of tries, so a fast machine waits as long as a slow one.
await() {
  local end=$(( $(date +%s) + $1 )); shift
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.05
  done
}
gone() { ! kill -0 "$1" 2>/dev/null; }
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null
    await 5 gone "$sim_pid"
    kill -KILL "$sim_pid" 2>/dev/null || true
  fi
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/flash"

"$build/sim/corvestel-sim" --lifetime 300 --bind 198.18.0.1 --discovery 198.18.0.1 \
  --ready-file "$work/ready" --trace "$work/trace" --flash-dir "$work/flash" \
  --module "serial=$router,model=17,address=2,name=Demo router,version=2.15.4,build=5101" \
  --behind "serial=2181F0EE,model=13,address=4,name=Bench IO,version=2.15.2,build=5011" \
  --behind "serial=40F5849A,model=26,address=8,name=Power,version=2.14.2,build=4711,newversion=2.14.9,newbuild=4870" \
  --module "serial=6A3C0012,model=19,address=2,name=Relay rack,version=3.0.1,build=6002" \
  > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
started() { [ -f "$work/ready" ] || gone "$sim_pid"; }
await 30 started
if [ ! -f "$work/ready" ]; then
  echo "The module simulator did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "== Simulated modules =="
cat "$work/ready"
echo
echo "== Updater -D -t TCPIP (network discovery) =="
timeout 60 "$build/Updater" -D -t TCPIP || echo "(Updater exit status $?)"
echo
echo "== Updater -D -r $router (modules behind the router) =="
timeout 120 "$build/Updater" -D -r "$router" || echo "(Updater exit status $?)"
echo
# The update server part: a simulated update server on loopback serves the
# builds of module 40F5849A; the Updater lists them and fetches the latest.
srv="$work/server"
# Puts a build of a module on the update server as its latest: a random
# image of SIZE bytes at 0x8000; LIST is the list of builds it offers.
serve_build() {
  local serial=$1 number=$2 version=$3 model=$4 size=$5 list=$6
  mkdir -p "$srv/$serial"
  head -c "$size" /dev/urandom > "$work/$serial.bin"
  "$build/tools/birdtool" create -o "$srv/$serial/$number.bird" --firmware 0x8000:"$work/$serial.bin" \
    --build "$number" --version "$version" --serial "$serial" --model "$model" > /dev/null
  printf "%s\nFW-%s\n" "$number" "$number" > "$srv/$serial/latest"
  printf "$list" > "$srv/$serial/builds"
}
serve_build 40F5849A 4870 2.14.9 Oriel 4096 "4650;2.13.10\n4870;2.14.9\n4711;2.14.2\n"
python3 sim/update_server.py --root "$srv" --port-file "$work/server.port" \
  --log "$work/server.log" --lifetime 300 > /dev/null &
srv_pid=$!
await 30 test -s "$work/server.port"
url="http://127.0.0.1:$(cat "$work/server.port")/cgi/u"
echo "== Updater -B -d 40F5849A (builds on the update server, newest first) =="
timeout 60 "$build/Updater" -B -d 40F5849A -u "$url" -i "$work/store" || echo "(Updater exit status $?)"
echo
echo "== Updater -G -d 40F5849A (latest build into the store) =="
timeout 60 "$build/Updater" -G -d 40F5849A -u "$url" -i "$work/store" || echo "(Updater exit status $?)"
echo
echo "== Updater -L -d 40F5849A (builds in the store) =="
timeout 60 "$build/Updater" -L -d 40F5849A -i "$work/store" || echo "(Updater exit status $?)"
echo
# The update: the build just fetched goes into module 40F5849A through the
# router (loader dialogue, firmware blocks, reboot); the module then reports
# the new version and build, and its simulated flash holds the image.
echo "== Updater -U -d 40F5849A -r $router (install the latest build through the router) =="
timeout 180 "$build/Updater" -U -d 40F5849A -r "$router" -u "$url" -i "$work/store" || echo "(Updater exit status $?)"
echo
echo "== Updater -D -r $router (40F5849A after the update) =="
timeout 120 "$build/Updater" -D -r "$router" || echo "(Updater exit status $?)"
echo
kill -USR1 "$sim_pid" 2>/dev/null
await 10 test -f "$work/flash/40F5849A.flash"
echo "== Simulated flash of 40F5849A (header, then runs of bytes) =="
cut -c1-100 "$work/flash/40F5849A.flash" 2>/dev/null | head -6
echo "== Settings of 40F5849A in the store =="
cat "$work/store/updater/40F5849A/.settings"
echo
# USB: two modules on a simulated USB bus (sim/usbbus: a umockdev testbed,
# so the unmodified Updater reaches them through the real libusb). The first
# is updated over USB with the latest build from the update server: it
# leaves the bus when its loader starts and when it reboots, and comes back
# each time as a new device, as hardware does.
serve_build 1A2B3C4D 2001 2.16.1 Pilgrim 8192 "2000;2.16.0\n2001;2.16.1\n"
cat > "$work/on-bus.sh" <<"END"
U=$1 url=$2 store=$3
echo "== Updater -D (USB modules on the simulated bus) =="
timeout 60 "$U" -D || echo "(Updater exit status $?)"
echo
echo "== Updater -G -U -d 1A2B3C4D (latest build from the server, installed over USB) =="
timeout 180 "$U" -G -U -d 1A2B3C4D -u "$url" -i "$store" || echo "(Updater exit status $?)"
echo
echo "== Updater -D (1A2B3C4D after the update) =="
timeout 60 "$U" -D || echo "(Updater exit status $?)"
END
timeout 300 sim/usbbus/corvestel-usbbus --sim "$build/sim/corvestel-sim" --lifetime 280 \
  --log "$work/usb-events" --flash-dir "$work/flash" \
  --module "serial=1A2B3C4D,model=13,name=Bench hub,version=2.16.0,build=2000,newversion=2.16.1,newbuild=2001" \
  --module "serial=5E6F7081,model=19,name=Relay box,version=2.15.3,build=1990,packet=64" \
  -- bash "$work/on-bus.sh" "$build/Updater" "$url" "$work/store" \
  || echo "(the USB bus ended with status $?)"
echo "== What the USB bus saw (plug, unplug, restart) =="
cat "$work/usb-events" 2>/dev/null
echo
echo "== Requests the update server saw =="
cat "$work/server.log"
kill -TERM "$srv_pid" 2>/dev/null; wait "$srv_pid" 2>/dev/null
echo
echo "== Packets the simulated modules saw: $(grep -c " rx " "$work/trace" || true) received, $(grep -c " tx " "$work/trace" || true) sent =="
'
tools/netns-run bash -c "$inside" demo "$BUILD_DIR" D272031D
