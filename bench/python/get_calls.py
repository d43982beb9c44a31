"""1000 gets of one register on one open session, timed; prints the wall and
processor seconds the calls took, on the main thread (where each call also
watches for Ctrl-C) and on another thread. Run by bench_python:
get_calls.py PORT CALLS."""
import sys
import threading
import time

import quillon


def timed(session, calls):
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(calls):
        session.get("3/1.0.1.8.0.255/2")
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    port, calls = int(sys.argv[1]), int(sys.argv[2])
    meter = quillon.Meter.tcp("127.0.0.1", port)
    with quillon.Session(meter) as s:
        on_main = timed(s, calls)
        other = []
        t = threading.Thread(target=lambda: other.append(timed(s, calls)))
        t.start()
        t.join()
    print(f"{on_main[0]:.6f} {on_main[1]:.6f} {other[0][0]:.6f} {other[0][1]:.6f}")


main()
