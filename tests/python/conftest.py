"""Fixtures of the quillon package tests: simulated meters on free loopback
ports (one process per module), a meter that never answers, and private
configuration and data folders so that no test touches the user's."""

import os
import socket
import subprocess
import threading

import pytest


def start_sim(*args):
    """The simulator with `args`; its process and first line (the port or the
    pseudo-terminal it serves)."""
    proc = subprocess.Popen([os.environ["QUILLON_SIM"], "--quiet", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline().strip()
    if not any(word in line for word in (" port ", "pseudo-terminal", "listening")):
        proc.kill()
        raise RuntimeError(f"the simulator said: {line!r}")
    return proc, line


def port_of(line):
    return int(line.split(" port ")[1].split()[0])


def stop_sim(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


@pytest.fixture(scope="session", autouse=True)
def private_folders(tmp_path_factory):
    base = tmp_path_factory.mktemp("home")
    for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME"):
        os.environ[name] = str(base / name.lower())
    for name in [k for k in os.environ if k.startswith("QUILLON_") and k not in ("QUILLON_SIM", "QUILLON_CLI")]:
        del os.environ[name]
    return base


@pytest.fixture(scope="module")
def sim_port():
    proc, line = start_sim("--port", "0")
    yield port_of(line)
    stop_sim(proc)


@pytest.fixture(scope="module")
def second_sim_port():
    proc, line = start_sim("--port", "0")
    yield port_of(line)
    stop_sim(proc)


@pytest.fixture
def silent_port():
    """A meter that takes the connection and never says a word."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    accepted = []
    stop = threading.Event()

    def accept():
        server.settimeout(0.2)
        while not stop.is_set():
            try:
                accepted.append(server.accept()[0])
            except OSError:
                pass

    t = threading.Thread(target=accept, daemon=True)
    t.start()
    yield server.getsockname()[1]
    stop.set()
    t.join()
    for c in accepted:
        c.close()
    server.close()
