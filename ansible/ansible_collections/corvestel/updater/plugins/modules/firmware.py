#!/usr/bin/python
# -*- coding: utf-8 -*-
"""Ansible module corvestel.updater.firmware: Corvestel module firmware
through the Updater program's --json reports."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware
short_description: Keep the firmware of Corvestel instrument modules current
version_added: "1.0.0"
description:
  - Finds the Corvestel modules of a managed host (over USB, over TCP/IP, or
    behind a router module) and brings each one that is out of date to the
    latest build that the update server offers, fetching into the local store
    what it lacks.
  - Runs the C(Updater) program on the managed host with C(--json). In check
    mode only C(Updater --check) runs, which sends nothing to a module and
    stores nothing; the result tells which modules would change.
  - Modules that run the latest build (C(current)) or a newer one than the
    server offers (C(newer than offered)) are left alone, so a second run
    reports no change.
options:
  serial:
    description:
      - The serial number of one module (eight hexadecimal digits), or C(all)
        for every module found.
    type: str
    default: all
  transport:
    description:
      - How the modules are reached when no I(router) is given.
    type: str
    choices: [usb, tcpip]
    default: usb
  router:
    description:
      - Serial number of a router module; the modules behind it are updated
        one after another.
    type: str
  build:
    description:
      - The build to install on the one module named by I(serial). Not
        allowed with C(serial=all), which installs each module's latest.
    type: int
  store:
    description:
      - The storage base of the Updater (its C(-i)); the store is
        C(STORE/updater). The Updater's default when not given.
    type: path
  server_url:
    description:
      - The update server's URL (the Updater's C(-u)).
    type: str
  jobs:
    description:
      - How many modules are updated at once (1 to 64).
    type: int
    default: 4
  message:
    description:
      - A message recorded with every installation in the devices' history.
    type: str
  updater:
    description:
      - Path of the Updater program, or its name on C(PATH).
    type: str
    default: Updater
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
notes:
  - The TCP/IP search sends UDP multicast into the host's networks.
author:
  - Quorvane firmware tools (updater@quorvane.com)
"""

EXAMPLES = r"""
- name: Every module on the network at its latest firmware
  corvestel.updater.firmware:
    serial: all
    transport: tcpip
    jobs: 8
    message: quarterly refresh

- name: The modules behind a router
  corvestel.updater.firmware:
    router: D272031D

- name: One module to a given build
  corvestel.updater.firmware:
    serial: 40F5849A
    build: 4870
    server_url: http://updates.lab.example/cgi/u
"""

RETURN = r"""
changed:
  description: Whether a module was written (in check mode, would be).
  type: bool
  returned: always
modules:
  description:
    - One entry per module found. After an update run each holds C(serial),
      C(result) (C(updated), C(current), C(newer than offered), C(failed) or
      C(busy)), C(build_before), C(build_after), C(version_before),
      C(version_after) and C(error). In check mode each holds what
      C(Updater --check) reports (C(serial), C(model), C(model_name),
      C(name), C(version), C(build), C(latest_build), C(latest_version),
      C(status), C(source)).
  type: list
  elements: dict
  returned: always
counts:
  description: How many modules ended with each result (update runs only).
  type: dict
  returned: when modules were updated
errors:
  description: The error lines of the Updater's runs.
  type: list
  elements: str
  returned: always
"""

import json
import re

from ansible.module_utils.basic import AnsibleModule

SERIAL = re.compile(r"^(0[xX])?[0-9A-Fa-f]{1,8}$")


def run_updater(module, words):
    """Runs the Updater with --json; (exit status, report or None, stderr)."""
    p = module.params
    argv = [module.get_bin_path(p["updater"], required=True) if "/" not in p["updater"] else p["updater"]]
    argv += words + ["--json"]
    # "=" forms: a value that begins with "-" is still the value.
    if p["store"]:
        argv.append("-i=" + p["store"])
    if p["server_url"]:
        argv.append("-u=" + p["server_url"])
    rc, out, err = module.run_command(argv)
    try:
        report = json.loads(out)
    except ValueError:
        report = None
    if not isinstance(report, dict):
        report = None
    return rc, report, err


def where(module):
    """The options that say where the modules are."""
    p = module.params
    words = []
    if p["router"]:
        words += ["-r", p["router"]]
    else:
        words += ["-t", "TCPIP" if p["transport"] == "tcpip" else "USB"]
    return words


def failed(module, text, rc, report, err, **extra):
    errors = report.get("errors", []) if report else []
    msg = text
    if errors:
        msg += ": " + "; ".join(errors)
    elif not report:
        msg += " (exit status %d): %s" % (rc, err.strip()[-2000:])
    module.fail_json(msg=msg, rc=rc, errors=errors, **extra)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            serial=dict(type="str", default="all"),
            transport=dict(type="str", choices=["usb", "tcpip"], default="usb"),
            router=dict(type="str"),
            build=dict(type="int"),
            store=dict(type="path"),
            server_url=dict(type="str"),
            jobs=dict(type="int", default=4),
            message=dict(type="str"),
            updater=dict(type="str", default="Updater"),
        ),
        supports_check_mode=True,
    )
    p = module.params
    everything = p["serial"].lower() == "all"
    if not everything and not SERIAL.match(p["serial"]):
        module.fail_json(msg="serial must be eight hexadecimal digits or 'all', not %r" % p["serial"])
    if p["router"] and not SERIAL.match(p["router"]):
        module.fail_json(msg="router must be a serial number of eight hexadecimal digits")
    if everything and p["build"] is not None:
        module.fail_json(msg="build names one module's build: give serial as well")
    if not 1 <= p["jobs"] <= 64:
        module.fail_json(msg="jobs must be from 1 to 64")
    if p["build"] is not None and p["build"] <= 0:
        module.fail_json(msg="build must be a positive build number")

    # What is out of date: read-only, and all that check mode does.
    check_words = ["--check"] + where(module)
    if not everything:
        check_words += ["-d", p["serial"]]
    rc, report, err = run_updater(module, check_words)
    if not report or "check" not in report:
        failed(module, "Updater --check failed", rc, report, err)
    modules = report["check"].get("modules", [])
    errors = list(report.get("errors", []))

    def out_of_date(m):
        if p["build"] is not None:
            return m.get("build") != p["build"]
        return m.get("status") == "update available"

    if module.check_mode:
        module.exit_json(changed=any(out_of_date(m) for m in modules), modules=modules, errors=errors)

    if everything:
        words = ["-G", "-U", "--all", "--jobs", str(p["jobs"])] + where(module)
    else:
        if not modules or not out_of_date(modules[0]):
            if rc != 0:
                failed(module, "the state of module %s could not be determined" % p["serial"], rc, report, err,
                       modules=modules)
            m = modules[0]
            result = "current" if m.get("status") in ("current", None) or p["build"] is not None else m["status"]
            module.exit_json(changed=False, errors=errors, modules=[dict(
                serial=m.get("serial"), result=result, build_before=m.get("build"), build_after=m.get("build"),
                version_before=m.get("version"), version_after=m.get("version"), error=None)])
        words = ["-G", "-U", "-d", p["serial"]]
        if p["build"] is not None:
            words += ["-b", str(p["build"])]
        if p["router"]:
            words += ["-r", p["router"]]
    if p["message"]:
        words.append("-l=" + p["message"])
    rc, report, err = run_updater(module, words)
    errors += report.get("errors", []) if report else []

    if everything:
        summary = report.get("update_all") if report else None
        if not summary:
            failed(module, "Updater -U --all failed", rc, report, err)
        result = dict(changed=bool(summary.get("changed")), modules=summary.get("modules", []),
                      counts=summary.get("counts", {}), errors=errors)
        if rc != 0:
            module.fail_json(msg="some modules were not updated: " + ", ".join(
                "%s %s" % (m.get("serial"), m.get("result")) for m in result["modules"]
                if m.get("result") in ("failed", "busy")), rc=rc, **result)
        module.exit_json(**result)

    update = report.get("update") if report else None
    m = modules[0]
    entry = dict(serial=m.get("serial"), result="updated" if update and update.get("ok") else "failed",
                 build_before=m.get("build"), version_before=m.get("version"),
                 build_after=(update or {}).get("build_read_back") or (update or {}).get("build"),
                 version_after=(update or {}).get("version_read_back") or (update or {}).get("file_version"),
                 error="; ".join(errors) or None if rc != 0 else None)
    written = bool(update and update.get("written"))
    if rc != 0:
        module.fail_json(msg="the update of %s failed: %s" % (p["serial"], "; ".join(errors)), rc=rc,
                         changed=written, modules=[entry], errors=errors)
    module.exit_json(changed=True, modules=[entry], errors=errors)


if __name__ == "__main__":
    main()
