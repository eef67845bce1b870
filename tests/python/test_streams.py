"""Value streams against the module simulator: every sample the module
sent arrives once and in order, callbacks that raise are not lost."""

import threading

import pytest

import corvestel
from conftest import CALLBACKS, STREAMER, wait_for

UPTIME = (corvestel.SYSTEM, corvestel.OPTION_UPTIME, 0)


def test_iterated_samples_are_those_the_module_sent(sim):
    with corvestel.Module.connect(STREAMER, transport="tcpip") as m:
        got = []
        with m.stream(*UPTIME, queue_size=5000) as samples:
            for sample in samples:
                got.append(sample)
                if len(got) == 300:  # a sample every 5 ms: about 1.5 s
                    break
            assert samples.drops == 0
        assert not samples.active
        with pytest.raises(corvestel.ConnectionError):
            samples.get(timeout=0.1)
    assert {(s.command, s.option, s.index) for s in got} == {UPTIME}
    sent = sim.sent_samples(STREAMER, 3, 22)
    # None lost, none twice, in the module's order, the values as sent (the
    # module may have streamed to an earlier link before; time stamps rise).
    received = [(s.seconds, s.microseconds, s.value) for s in got]
    assert received[0] in sent
    start = sent.index(received[0])
    assert received == sent[start:start + len(got)]
    assert got[-1].timestamp == pytest.approx(got[-1].seconds + got[-1].microseconds / 1e6)


def test_full_queue_drops_and_counts(sim):
    with corvestel.Module.connect(STREAMER, transport="tcpip") as m:
        samples = m.stream(*UPTIME, queue_size=3)
        wait_for(lambda: samples.drops > 0, 20, "a dropped sample")
        assert samples.pending == 3
        assert samples.received == samples.drops + 3
        first = samples.get(timeout=5)
        assert first.value >= 0
        samples.stop()
    with pytest.raises(corvestel.TimeoutError):
        # A stream nobody feeds: the wait ends with the time-out.
        with corvestel.Module.connect(STREAMER, transport="tcpip") as m:
            m.stream(3, 99, 0).get(timeout=0.2)


def test_callbacks_run_with_python_and_raising_ones_are_kept(sim):
    with corvestel.Module.connect(CALLBACKS, transport="tcpip") as m:
        seen = []
        good = m.stream(*UPTIME, callback=lambda s: seen.append((s.value, threading.get_ident())))
        wait_for(lambda: len(seen) >= 10, 20, "ten callbacks")
        good.stop()
        assert good.errors == 0 and good.exception is None
        assert threading.get_ident() not in {t for _, t in seen}

        calls = []

        def faulty(sample):
            calls.append(sample)
            raise KeyError("sample %d" % len(calls))

        bad = m.stream(*UPTIME, callback=faulty)
        wait_for(lambda: bad.errors >= 3, 20, "three failed callbacks")
        assert isinstance(bad.exception, KeyError) and bad.exception.args == ("sample 1",)
        with pytest.raises(KeyError) as raised:
            bad.stop()
        assert raised.value.__traceback__ is not None
        assert bad.errors == len(calls)
        # The module goes on answering while and after callbacks fail.
        assert m.serial == CALLBACKS

        # Leaving a with block that fails does not replace its exception.
        with pytest.raises(RuntimeError):
            with m.stream(*UPTIME, callback=faulty) as s:
                wait_for(lambda: s.errors >= 1, 20, "a failed callback")
                raise RuntimeError("the block's own")


def test_callback_may_close_its_own_module(sim):
    m = corvestel.Module.connect(CALLBACKS, transport="tcpip")
    closed = threading.Event()

    def close_on_first(sample):
        m.close()
        closed.set()

    s = m.stream(*UPTIME, callback=close_on_first)
    assert closed.wait(20)
    assert not m.connected and not s.active
    assert s.received >= 1 and s.errors == 0
    s.stop()  # nothing left to stop
    with pytest.raises(corvestel.ConnectionError):
        m.serial
