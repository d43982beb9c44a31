#!/usr/bin/env python3
"""Read a meter with the quillon package: the object list, registers with their
units, the clock, yesterday's load profile as CSV, a write and a method.

Start the simulator first (quillon-meter-sim, port 4059), then:

    PYTHONPATH=build/python python3 examples/python/read_meter.py [HOST [PORT]]

Keys and passwords belong in the environment or a keys file, never in the
source: see fleet.py for a ciphered meter.
"""
import datetime
import sys

import quillon


def main():
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 4059
    meter = quillon.Meter.tcp(host, port, client=16)
    try:
        with quillon.Session(meter) as s:
            objects = s.objects()
            print(f"{len(objects)} objects, e.g. {objects[0].obis} {objects[0].class_name}: {objects[0].description}")

            for r in s.get("1.0.1.8.0.255", "1.0.32.7.0.255", "1.0.31.7.0.255"):
                print(f"{r.ref:24} {r.scaled} {r.unit}")
            print("clock", s.get("0.0.1.0.0.255").value.isoformat())

            today = datetime.datetime.now(datetime.timezone.utc).replace(hour=0, minute=0, second=0, microsecond=0)
            profile = s.profile("1.0.99.1.0.255", start=today - datetime.timedelta(days=1),
                                end=today - datetime.timedelta(seconds=1))
            print(f"load profile: {len(profile)} entries,", ", ".join(c.heading for c in profile.columns))
            profile.to_csv("load-profile.csv")

            s.set("0.0.96.10.1.255", 7)                 # the type comes from the attribute
            s.set("0.0.96.10.1.255", quillon.Unsigned(7))  # or is given
            s.action("70/0.0.96.3.10.255/2")            # reconnect: the class says integer (0)
    except quillon.MeterError as e:
        print("meter:", e, file=sys.stderr)
        if e.diagnosis:
            print(e.diagnosis, file=sys.stderr)
        return 1
    except quillon.UsageError as e:
        print("usage:", e, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
