"""Discovery, identity, the context manager, errors and threads against the
module simulator over TCP/IP."""

import threading
import time

import pytest

import corvestel
from conftest import BARE, CALLBACKS, IFADDR, RELAY, SILENT, STREAMER


def test_discovery_describes_every_module(sim):
    found = corvestel.discover("tcpip")
    assert [i.serial for i in found] == sorted([RELAY, STREAMER, CALLBACKS, SILENT, BARE])
    relay = next(i for i in found if i.serial == RELAY)
    assert (relay.serial_text, relay.model, relay.model_name) == ("6A3C0012", 19, "Saltire")
    assert (relay.version, relay.version_tuple, relay.build, relay.name) == ("2.15.7", (2, 15, 7), 6002, "Relay rack")
    assert (relay.link_type, relay.module_address, relay.router_address) == ("TCPIP", 2, 2)
    assert (relay.ip_address, relay.error) == (IFADDR, None)
    assert isinstance(relay.port, int) and relay.port > 0
    # A module that does not answer is listed all the same, with the reason.
    silent = next(i for i in found if i.serial == SILENT)
    assert (silent.version, silent.build, silent.error) == (None, None, "aErrTimeout")
    # Without identification nothing is asked.
    quick = corvestel.discover("TCPIP", identify=False)
    assert [i.version for i in quick] == [None] * 5
    with pytest.raises(ValueError):
        corvestel.discover("serial")


def test_connect_reads_identity_and_closes_on_leaving(sim):
    info = next(i for i in corvestel.discover("tcpip", identify=False) if i.serial == RELAY)
    with corvestel.Module.connect(RELAY, transport="tcpip") as m:
        assert m.connected and m.link_type == "TCPIP" and m.module_address == 2
        assert (m.serial, m.serial_text, m.model, m.model_name) == (RELAY, "6A3C0012", 19, "Saltire")
        assert (m.version, m.version_tuple, m.build, m.name) == ("2.15.7", (2, 15, 7), 6002, "Relay rack")
        assert (m.input_voltage, m.input_current) == (12000, 250)
        assert isinstance(m.uptime, int)
    assert not m.connected
    with pytest.raises(corvestel.ConnectionError) as closed:
        m.version
    assert (closed.value.code, closed.value.name) == (25, "aErrConnection")
    assert isinstance(closed.value, ConnectionError)
    m.close()  # again: harmless
    # A ModuleInfo connects without another search.
    with corvestel.Module.connect(info) as again:
        assert again.serial == RELAY
    # A module without those values answers None for them.
    with corvestel.Module.connect(BARE, transport="tcpip") as bare:
        assert (bare.uptime, bare.input_voltage) == (None, None)


def test_errors_become_their_exceptions(sim):
    with pytest.raises(corvestel.NotFoundError) as missing:
        corvestel.Module.connect(0x12345678, transport="tcpip")
    assert (missing.value.code, missing.value.name) == (3, "aErrNotFound")
    assert "12345678" in str(missing.value) and isinstance(missing.value, LookupError)
    with corvestel.Module.connect(SILENT, transport="tcpip") as silent:
        with pytest.raises(corvestel.TimeoutError) as late:
            silent.serial
        assert (late.value.code, late.value.name) == (18, "aErrTimeout")
        assert isinstance(late.value, TimeoutError) and isinstance(late.value, corvestel.Error)
        assert silent.build == 1000  # the link survives a request without answer
    with pytest.raises(ValueError):
        corvestel.Module.connect(0, transport="tcpip")
    with pytest.raises(ValueError):
        corvestel.Module.connect(RELAY, transport="tcpip", share=True)


def test_threads_run_while_another_waits_for_a_module(sim):
    # One thread waits out a time-out (1 s) of the silent module; the other,
    # on its own module, finishes reads and runs Python code after each in
    # the middle of that wait, which it can only if the wait let go of the
    # GIL (at the wait's edges it may run all the same: Python hands the GIL
    # over only every few milliseconds).
    stamps, windows, errors = [], [], []
    stop = threading.Event()
    with corvestel.Module.connect(SILENT, transport="tcpip") as silent, \
            corvestel.Module.connect(RELAY, transport="tcpip") as relay:
        def overlapped(window):
            quarter = (window[1] - window[0]) / 4
            return sum(1 for t in list(stamps) if window[0] + quarter < t < window[1] - quarter)

        def wait_silent():
            for _ in range(10):
                start = time.perf_counter()
                try:
                    silent.serial
                except corvestel.TimeoutError as e:
                    errors.append(e.name)
                windows.append((start, time.perf_counter()))
                if overlapped(windows[-1]) >= 3:
                    break
            stop.set()

        def read_relay():
            while not stop.is_set():
                assert relay.serial == RELAY
                stamps.append(time.perf_counter())

        threads = [threading.Thread(target=wait_silent), threading.Thread(target=read_relay)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    assert errors and set(errors) == {"aErrTimeout"}
    assert max(overlapped(w) for w in windows) >= 3


def test_two_threads_each_with_their_own_module(sim):
    results = {}

    def work(serial):
        with corvestel.Module.connect(serial, transport="tcpip") as m:
            results[serial] = [(m.serial, m.build) for _ in range(20)]

    threads = [threading.Thread(target=work, args=(s,)) for s in (RELAY, BARE)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results[RELAY] == [(RELAY, 6002)] * 20
    assert results[BARE] == [(BARE, 1000)] * 20
