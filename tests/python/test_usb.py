"""The package on the simulated USB bus: identity, a node the user may not
open, and a USB module shared with another process as an AETHER link."""

import os

import pytest

from conftest import UsbRun

HUB = "serial=40F5849A,model=13,name=Hub,version=2.15.7,build=5011"


def test_usb_discovery_and_identity():
    run = UsbRun([HUB, "serial=6A3C0012,model=19"], ["identify", "40F5849A"])
    assert run.status == 0, run.err
    listed = run.answer["discovered"]
    assert [d["serial_text"] for d in listed] == ["40F5849A", "6A3C0012"]
    hub = listed[0]
    assert (hub["serial"], hub["model"], hub["model_name"], hub["link_type"]) == (0x40F5849A, 13, "Pilgrim", "USB")
    assert (hub["version"], hub["version_tuple"], hub["build"], hub["name"]) == ("2.15.7", [2, 15, 7], 5011, "Hub")
    assert run.answer["module"] == {"serial": 0x40F5849A, "version": "2.15.7", "build": 5011, "name": "Hub",
                                    "link_type": "USB", "connected": True}
    assert run.answer["closed"]


@pytest.mark.skipif(os.geteuid() != 0, reason="the run as another user needs the superuser")
def test_node_the_user_may_not_open_is_a_permission_error():
    run = UsbRun([HUB + ",mode=0600"], ["refused", "40F5849A"], user="65534")
    assert run.status == 0, run.err
    error = run.answer["error"]
    assert (error["class"], error["code"], error["name"]) == ("PermissionError", 12, "aErrPermission")
    assert error["is_builtin_permission"]
    assert "70-corvestel.rules" in error["message"] and "plugdev" in error["message"]
    assert run.answer["discovered"] == []


def test_shared_usb_module_is_reached_as_aether():
    run = UsbRun([HUB], ["share", "40F5849A"])
    assert run.status == 0, run.err
    assert isinstance(run.answer["port"], int) and run.answer["port"] > 0
    assert run.answer["servers"] == [{"serial": 0x40F5849A, "link_type": "AETHER", "version": "2.15.7"}]
    reached = run.answer["reached"]
    assert isinstance(reached, dict), reached
    assert (reached["serial"], reached["link_type"]) == (0x40F5849A, "AETHER")
    assert isinstance(reached["uptime"], int)
    assert run.answer["own"] == 0x40F5849A
    status, out = run.answer["example"]
    assert status == 0 and out.startswith("reached 40F5849A through the server: uptime "), out
