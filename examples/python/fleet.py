#!/usr/bin/env python3
"""Read a fleet with the quillon package: two registers of every meter of a
meter list, 32 meters at a time, each printed as soon as it is read.

    quillon-meter-sim --fleet 20 --fleet-list meters.csv &
    PYTHONPATH=build/python python3 examples/python/fleet.py meters.csv

A meter list (or the meters file) carries each meter's keys; a single ciphered
meter takes them from the environment like this:

    quillon.Meter.tcp(host, client=33, auth="gmac", security="auth-enc",
                      ek=os.environ["QUILLON_EK"], ak=os.environ["QUILLON_AK"], ...)
"""
import sys

import quillon


def main():
    meters = sys.argv[1] if len(sys.argv) > 1 else "meters.csv"
    failed = 0
    for result in quillon.read_fleet(meters, "get", ["1.0.1.8.0.255", "0.0.1.0.0.255"], jobs=32):
        if result.ok:
            energy, clock = result.readings
            print(f"{result.meter:12} {energy.scaled} {energy.unit}  {clock.value.isoformat()}")
        else:
            failed += 1
            print(f"{result.meter:12} FAILED after {result.attempts} attempts: {result.error}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
