"""Sessions in threads, Ctrl-C and cancel, progress, and fleets."""

import os
import signal
import threading
import time

import pytest

import quillon
from conftest import start_sim, stop_sim


def test_two_sessions_in_two_threads_at_once(sim_port, second_sim_port):
    both_open = threading.Barrier(2, timeout=30)
    results, errors = {}, []

    def read(port):
        try:
            with quillon.Session(quillon.Meter.tcp("127.0.0.1", port)) as s:
                both_open.wait()  # two associations open side by side
                results[port] = [s.get("1.0.32.7.0.255").value for _ in range(20)]
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)
            both_open.abort()

    threads = [threading.Thread(target=read, args=(p,)) for p in (sim_port, second_sim_port)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert results == {sim_port: [2300] * 20, second_sim_port: [2300] * 20}


def test_a_waiting_call_leaves_other_threads_free_and_cancels(sim_port, silent_port):
    outcome = []
    silent = quillon.Session(quillon.Meter.tcp("127.0.0.1", silent_port, timeout=60))

    def wait_for_silence():
        try:
            silent.open()
        except quillon.MeterError as e:
            outcome.append(e)

    t = threading.Thread(target=wait_for_silence)
    t.start()
    # While that thread waits with the GIL released, this one reads a meter.
    with quillon.Session(quillon.Meter.tcp("127.0.0.1", sim_port)) as s:
        assert [s.get("1.0.32.7.0.255").value for _ in range(10)] == [2300] * 10
    assert t.is_alive()
    silent.cancel()
    t.join(10)
    assert not t.is_alive() and len(outcome) == 1
    assert str(outcome[0]) == "cancelled"


def interrupt_after(seconds):
    sent = []

    def fire():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(seconds, fire)
    timer.start()
    return timer, sent


def test_ctrl_c_cancels_a_read_from_a_silent_meter(silent_port):
    session = quillon.Session(quillon.Meter.tcp("127.0.0.1", silent_port, timeout=60))
    run = session.open
    timer, sent = interrupt_after(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            run()
        ended = time.monotonic()
    finally:
        timer.cancel()
    assert sent and ended - sent[0] < 3.0
    assert not session.is_open


def test_progress_callback_hears_of_blocks_and_can_stop_a_call(sim_port):
    seen = []
    with quillon.Session(quillon.Meter.tcp("127.0.0.1", sim_port),
                         progress=lambda blocks, bytes, entries: seen.append((blocks, bytes))) as s:
        s.profile("1.0.99.1.0.255", entries=(1, 200))
        assert seen and seen[-1][0] >= 1 and seen[-1][1] > 0

    class Stop(Exception):
        pass

    def stop(**figures):
        raise Stop()

    s = quillon.Session(quillon.Meter.tcp("127.0.0.1", sim_port), progress=stop)
    with pytest.raises(Stop):
        s.open()
    s.close()


def test_read_fleet_yields_every_meter_as_it_finishes(sim_port, second_sim_port):
    meters = [quillon.Meter.tcp("127.0.0.1", sim_port), quillon.Meter.tcp("127.0.0.1", second_sim_port),
              quillon.Meter.tcp("127.0.0.1", 1, connect_timeout=2)]
    meters[0].name, meters[1].name, meters[2].name = "one", "two", "down"
    results = {r.meter: r for r in quillon.read_fleet(meters, "get", ["1.0.32.7.0.255", "0.0.1.0.0.255"],
                                                      jobs=3, retries=0)}
    assert set(results) == {"one", "two", "down"}
    for name in ("one", "two"):
        r = results[name]
        assert r.ok and r.attempts == 1 and r.read_at is not None
        assert [x.ref for x in r.readings] == ["3/1.0.32.7.0.255/2", "8/0.0.1.0.0.255/2"]
        assert r.readings[0].unit == "V"
    assert not results["down"].ok and results["down"].error


def test_read_fleet_profiles_and_bad_jobs(sim_port):
    meter = quillon.Meter.tcp("127.0.0.1", sim_port)
    (r,) = list(quillon.read_fleet([meter], "profile", "1.0.99.1.0.255", entries=(1, 4), retries=0))
    assert r.ok and len(r.profile) == 4
    for job, refs, text in [("fly", [], 'job "fly"'), ("get", [], "expected one or more"),
                            ("get", ["x"], 'OBIS code "x"')]:
        with pytest.raises(quillon.UsageError, match=text):
            quillon.read_fleet([meter], job, refs)
    with pytest.raises(quillon.UsageError, match="--jobs 0"):
        quillon.read_fleet([meter], "get", ["1.0.1.8.0.255"], jobs=0)


def test_read_fleet_from_a_meter_list(tmp_path):
    listing = tmp_path / "meters.csv"
    proc, _ = start_sim("--fleet", "3", "--port", "0", "--fleet-list", str(listing))
    try:
        for _ in range(100):  # the list is written once every meter listens
            if listing.exists() and len(listing.read_text().splitlines()) == 4:
                break
            time.sleep(0.05)
        results = list(quillon.read_fleet(str(listing), "get", "1.0.1.8.0.255", jobs=3, retries=0))
    finally:
        stop_sim(proc)
    assert sorted(r.meter for r in results) == ["sim-0001", "sim-0002", "sim-0003"]
    assert all(r.ok and r.readings[0].unit == "Wh" for r in results)
    # Each meter has energies of its own.
    assert len({r.readings[0].value for r in results}) == 3
