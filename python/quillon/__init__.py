"""quillon: read and write DLMS/COSEM meters from Python.

    import quillon

    meter = quillon.Meter.tcp("127.0.0.1", 4059, client=16)
    with quillon.Session(meter) as s:
        energy = s.get("1.0.1.8.0.255")
        print(energy.scaled, energy.unit)

Meters are made with ``Meter.tcp``, ``Meter.hdlc_tcp``, ``Meter.serial`` or
``Meter.named`` (the meters file quillon-cli shares); every setting is checked
as quillon-cli checks its options, with the same messages (``UsageError``).
A ``Session`` opens the link and the association; its calls release the GIL
while they wait for the meter, and Ctrl-C cancels the call that waits.
Failures of the meter, the link or the protocol raise ``MeterError``, with a
``diagnosis`` where the meter's refusal can be explained.
"""

from ._types import (  # noqa: F401
    Array,
    Bcd,
    BitString,
    Boolean,
    Column,
    Data,
    Diagnosis,
    DoubleLong,
    DoubleLongUnsigned,
    Enum,
    FleetResult,
    Float32,
    Float64,
    Integer,
    Long,
    Long64,
    Long64Unsigned,
    LongUnsigned,
    MeterError,
    NullData,
    ObjectEntry,
    OctetString,
    ProfileTable,
    QuillonError,
    Reading,
    Structure,
    Typed,
    Unsigned,
    UsageError,
    Utf8String,
    VisibleString,
)
from ._quillon import Meter, Session, __version__  # noqa: F401
from . import _quillon


def read_fleet(meters, job="get", refs=(), *, jobs=32, retries=2, retry_delay=0.5, meter_timeout=300,
               start=None, end=None, entries=None, keep_invocation_counters=True):
    """Runs one job on many meters at once and yields a ``FleetResult`` per
    meter as soon as it is finished (in the order they finish).

    ``meters`` is a list of ``Meter`` (named by ``Meter.name``), or the path
    of a meters file or a meter list (``.csv``) as ``quillon-cli batch`` reads
    them. ``job`` is ``"get"`` (``refs``: references), ``"profile"`` (``refs``:
    the profile, with ``start``/``end`` or ``entries``) or ``"dump"``. Up to
    ``jobs`` meters are read at a time, each failure retried ``retries``
    times; a meter taking longer than ``meter_timeout`` seconds fails. Ctrl-C,
    or closing the iterator, cancels the meters in flight.
    """
    return _quillon._read_fleet(meters, job, refs, jobs, retries, retry_delay, meter_timeout, start, end, entries,
                                keep_invocation_counters)


__all__ = [n for n in dir() if not n.startswith("_")]
