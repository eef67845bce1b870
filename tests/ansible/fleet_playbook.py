#!/usr/bin/env python3
"""ansible-playbook against three hosts, each a private network namespace with
its own simulated modules and update server: runs fleet_test.yml with the
corvestel.updater collection from the repository, then reads the simulators'
flash files to see that exactly the out-of-date modules were written.

The hosts use the local connection; each host's Updater is a wrapper that
enters the host's namespace (nsenter), so it finds that host's modules and
server only. Needs root (namespaces); exits 77 (skipped) without it or
without ansible-playbook.

Usage: fleet_playbook.py BUILD_DIR
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SKIP = 77

# Host -> modules: (serial, build, version). The server offers 2000 (2.16.0).
HOSTS = {
    "bench1": [("4A000001", 1000, "2.15.0"), ("4A000002", 2000, "2.16.0")],
    "bench2": [("4B000001", 1000, "2.15.0"), ("4B000002", 3000, "2.17.0")],
    "bench3": [("4C000001", 2000, "2.16.0")],
}


def make_server_data(work, host, modules):
    image = os.path.join(work, "image.bin")
    if not os.path.exists(image):
        with open(image, "wb") as f:
            f.write(bytes((i * 7) & 0xFF for i in range(4096)))
    for serial, _, _ in modules:
        folder = os.path.join(host, "server", serial)
        os.makedirs(folder)
        subprocess.run([os.path.join(BUILD, "tools", "birdtool"), "create", "-o", os.path.join(folder, "2000.bird"),
                        "--firmware", "0x8000:" + image, "--build", "2000", "--version", "2.16.0",
                        "--serial", serial, "--model", "Pilgrim"], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(folder, "latest"), "w") as f:
            f.write("2000\nFW-2000\n")
        with open(os.path.join(folder, "builds"), "w") as f:
            f.write("1000;2.15.0\n2000;2.16.0\n")


def reboots(host, serial):
    try:
        with open(os.path.join(host, "flash", serial + ".flash")) as f:
            for line in f:
                words = line.split()
                if len(words) == 2 and words[0] == "reboots":
                    return int(words[1])
    except OSError:
        pass
    return 0


def main():
    playbook = shutil.which("ansible-playbook")
    if os.geteuid() != 0 or not playbook or not shutil.which("nsenter"):
        print("skipped: needs root, nsenter and ansible-playbook")
        return SKIP
    work = tempfile.mkdtemp(prefix="updater-ansible-")
    hosts = {}
    inventory = {"lab": {"hosts": {}}}
    try:
        for name, modules in HOSTS.items():
            host = os.path.join(work, name)
            os.makedirs(host)
            make_server_data(work, host, modules)
            keys = ["serial=%s,model=13,build=%d,version=%s,newversion=2.16.0,newbuild=2000" % m for m in modules]
            hosts[name] = subprocess.Popen([os.path.join(SOURCE, "tools", "netns-run"), sys.executable,
                                            os.path.join(HERE, "fleet_host.py"), BUILD, SOURCE, host] + keys,
                                           stdin=subprocess.PIPE)
        for name, modules in HOSTS.items():
            host = os.path.join(work, name)
            info_path = os.path.join(host, "host.json")
            end = time.monotonic() + 60
            while not os.path.exists(info_path):
                if time.monotonic() > end or hosts[name].poll() is not None:
                    raise RuntimeError("host %s did not start" % name)
                time.sleep(0.05)
            info = json.load(open(info_path))
            wrapper = os.path.join(host, "Updater")
            with open(wrapper, "w") as f:
                f.write("#!/bin/sh\nexec nsenter --net=/proc/%d/ns/net %s \"$@\"\n"
                        % (info["pid"], os.path.join(BUILD, "Updater")))
            os.chmod(wrapper, 0o755)
            inventory["lab"]["hosts"][name] = {
                "ansible_connection": "local",
                "ansible_python_interpreter": sys.executable,
                "updater_path": wrapper,
                "server_url": info["url"],
                "store": os.path.join(host, "store"),
                "expect_found": len(modules),
                "expect_found_serial": modules[0][0],
                "expect_updated": [m[0] for m in modules if m[1] < 2000],
            }
        inventory_path = os.path.join(work, "inventory.json")
        with open(inventory_path, "w") as f:
            json.dump(inventory, f)

        env = dict(os.environ)
        env.update({"ANSIBLE_COLLECTIONS_PATH": os.path.join(SOURCE, "ansible"),
                    "ANSIBLE_HOME": os.path.join(work, "ansible-home"),
                    "ANSIBLE_LOCAL_TEMP": os.path.join(work, "ansible-tmp"),
                    "ANSIBLE_NOCOLOR": "1", "ANSIBLE_FORCE_COLOR": "0",
                    "ANSIBLE_HOST_KEY_CHECKING": "0", "ANSIBLE_RETRY_FILES_ENABLED": "0"})
        failures = []
        # The collection builds as a Galaxy artifact and documents its module.
        collection = os.path.join(SOURCE, "ansible", "ansible_collections", "corvestel", "updater")
        built = subprocess.run(["ansible-galaxy", "collection", "build", collection, "--output-path", work],
                               env=env, capture_output=True, text=True)
        if built.returncode != 0 or not os.path.exists(os.path.join(work, "corvestel-updater-1.0.0.tar.gz")):
            failures.append("ansible-galaxy collection build failed: " + built.stdout + built.stderr)
        doc = subprocess.run(["ansible-doc", "--json", "corvestel.updater.firmware"], env=env,
                             capture_output=True, text=True)
        try:
            options = json.loads(doc.stdout)["corvestel.updater.firmware"]["doc"]["options"]
            if set(options) != {"serial", "transport", "router", "build", "store", "server_url", "jobs",
                                "message", "updater"}:
                failures.append("ansible-doc lists the options %s" % sorted(options))
        except (ValueError, KeyError, TypeError):
            failures.append("ansible-doc gave no documentation: " + doc.stderr)
        run = subprocess.run([playbook, "-i", inventory_path, os.path.join(HERE, "fleet_test.yml")], env=env,
                             timeout=900)
        if run.returncode != 0:
            failures.append("ansible-playbook ended with %d" % run.returncode)
    finally:
        for p in hosts.values():
            try:
                p.stdin.close()
            except OSError:
                pass
        for p in hosts.values():
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
    # Every out-of-date module was written once, no other module at all.
    for name, modules in HOSTS.items():
        host = os.path.join(work, name)
        for serial, build, _ in modules:
            want = 1 if build < 2000 else 0
            got = reboots(host, serial)
            if got != want:
                failures.append("%s %s rebooted %d times, not %d" % (name, serial, got, want))
            # The installation is in the device's history with the message.
            records = []
            try:
                with open(os.path.join(host, "store", "updater", serial, ".history")) as f:
                    records = [json.loads(line) for line in f if line.strip()]
            except (OSError, ValueError):
                pass
            installs = [r for r in records if r.get("command") == "update" and r.get("result") == "ok"
                        and r.get("message") == "-- ansible test"]
            if len(installs) != want:
                failures.append("%s %s has %d installations in its history, not %d" % (name, serial, len(installs),
                                                                                      want))
    shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("\n".join(failures))
        return 1
    print("three hosts: check mode, update and a second run as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
