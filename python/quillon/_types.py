"""Values, readings, object list entries, profiles and errors of quillon.

The meter work happens in the extension module; what it hands back is made
of the plain classes below, so that they print, compare and pickle as
ordinary Python objects.
"""

from __future__ import annotations

import dataclasses
import datetime
import decimal
from typing import Any, Optional, Sequence


# ---------------------------------------------------------------- errors


class QuillonError(Exception):
    """Root of the errors quillon raises."""


class UsageError(QuillonError, ValueError):
    """What the program asked for is wrong: a bad option, reference or value.

    The message is quillon-cli's for the same mistake; nothing was sent.
    """


@dataclasses.dataclass(frozen=True)
class Diagnosis:
    """Why a meter refused us: one row of the diagnosis table, filled in."""

    name: str
    what: str
    cause: str
    fix: str
    text: str = ""

    def __str__(self) -> str:
        return self.text


class MeterError(QuillonError):
    """The meter, the link or the protocol failed, or the meter refused.

    ``diagnosis`` explains a refusal where the diagnosis table has a row for
    it (a wrong password, keys or system title); ``cause`` is the bare text
    of the layer or the engine.
    """

    def __init__(self, message: str, diagnosis: Optional[Diagnosis] = None, cause: Optional[str] = None):
        super().__init__(message)
        self.diagnosis = diagnosis
        self.cause = cause if cause is not None else message


# ---------------------------------------------------------------- values


class Enum(int):
    """An enumerated value: an int with the name the class gives it.

    Read values carry their name where the class catalogue knows it
    (``clock.clock_base`` 1 is "internal crystal"); ``Enum(3)`` writes a DLMS
    enum.
    """

    def __new__(cls, value: int, name: Optional[str] = None):
        obj = super().__new__(cls, value)
        obj._name = name
        return obj

    @property
    def name(self) -> Optional[str]:
        return self._name

    @property
    def value(self) -> int:
        return int(self)

    def __repr__(self) -> str:
        if self._name is None:
            return f"Enum({int(self)})"
        return f"Enum({int(self)}, {self._name!r})"

    def __str__(self) -> str:
        return f"{self._name} ({int(self)})" if self._name is not None else str(int(self))

    def __reduce__(self):
        return (Enum, (int(self), self._name))


class Typed:
    """A value with its DLMS type named, for writing where the type is not
    known from the class: ``LongUnsigned(300)``, ``OctetString(b"...")``."""

    TYPE = ""
    __slots__ = ("value",)

    def __init__(self, value: Any = None):
        self.value = value

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.value!r})"

    def __eq__(self, other: object) -> bool:
        return type(self) is type(other) and self.value == other.value  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self).__name__, repr(self.value)))


def _typed(name: str, dlms_type: str, doc: str) -> type:
    return type(name, (Typed,), {"TYPE": dlms_type, "__slots__": (), "__doc__": doc})


Integer = _typed("Integer", "Integer", "integer: -128..127")
Long = _typed("Long", "Long", "long: -32768..32767")
DoubleLong = _typed("DoubleLong", "DoubleLong", "double-long: 32-bit signed")
Long64 = _typed("Long64", "Long64", "long64: 64-bit signed")
Unsigned = _typed("Unsigned", "Unsigned", "unsigned: 0..255")
LongUnsigned = _typed("LongUnsigned", "LongUnsigned", "long-unsigned: 0..65535")
DoubleLongUnsigned = _typed("DoubleLongUnsigned", "DoubleLongUnsigned", "double-long-unsigned: 32-bit unsigned")
Long64Unsigned = _typed("Long64Unsigned", "Long64Unsigned", "long64-unsigned: 64-bit unsigned")
Boolean = _typed("Boolean", "Boolean", "boolean")
Float32 = _typed("Float32", "Float32", "float32")
Float64 = _typed("Float64", "Float64", "float64")
Bcd = _typed("Bcd", "Bcd", "bcd: one byte")
OctetString = _typed("OctetString", "OctetString", "octet-string: bytes (or a datetime, written as a COSEM date-time)")
VisibleString = _typed("VisibleString", "VisibleString", "visible-string: ASCII text")
Utf8String = _typed("Utf8String", "UTF8String", "utf8-string: text")
BitString = _typed("BitString", "BitString", "bit-string: a text of 0 and 1, first bit first")
Array = _typed("Array", "Array", "array: a sequence of values of one type")
Structure = _typed("Structure", "Structure", "structure: a sequence of values")
NullData = _typed("NullData", "NullData", "null-data")
Data = _typed("Data", "", "one DLMS XML Data element, sent as it is")


# ---------------------------------------------------------------- results


@dataclasses.dataclass(frozen=True)
class Reading:
    """One attribute as read.

    ``value`` is the Python value (``int``, ``bytes``, ``str``, ``datetime``,
    ``list`` for arrays, ``tuple`` for structures, ``Enum``); for registers
    ``scaler`` and ``unit`` come from the object and ``scaled`` is the value
    times 10**scaler as an exact ``Decimal``.
    """

    ref: str
    value: Any
    scaler: Optional[int] = None
    unit: Optional[str] = None
    scaled: Optional[decimal.Decimal] = None
    xml: str = ""
    class_id: int = 0
    obis: str = ""
    attribute: int = 0


@dataclasses.dataclass(frozen=True)
class ObjectEntry:
    """One object of the association's object list."""

    class_id: int
    version: int
    obis: str
    class_name: str
    description: str
    access: str
    attribute_access: dict
    method_access: dict
    attributes: tuple
    short_name: Optional[int] = None
    readable: tuple = ()

    def may_read(self, attribute: int) -> bool:
        """The meter lists the attribute as readable, or does not list it."""
        return attribute in self.readable


@dataclasses.dataclass(frozen=True)
class Column:
    """A profile column: a captured attribute, its description and unit."""

    class_id: int
    obis: str
    attribute: int
    description: str
    heading: str
    unit: Optional[str] = None
    scaler: Optional[int] = None


class ProfileTable:
    """A profile's entries: ``columns`` and ``rows``.

    Cells of columns with a unit are scaled ``Decimal`` values; the others
    are typed values (the capture time as ``datetime``).
    """

    def __init__(self, columns: Sequence[Column], rows: list, data: Any = None):
        self.columns = list(columns)
        self.rows = rows
        self._data = data

    def __len__(self) -> int:
        return len(self.rows)

    def __iter__(self):
        return iter(self.rows)

    def __repr__(self) -> str:
        return f"<ProfileTable {len(self.columns)} columns, {len(self.rows)} rows>"

    def to_csv(self, path) -> None:
        """Writes the table as quillon-cli's CSV (a heading row, RFC 4180)."""
        text = self._data.csv() if self._data is not None else ""
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    def to_pandas(self):
        """The table as a pandas DataFrame (pandas must be installed):
        one column per heading, scaled values as floats."""
        import pandas  # noqa: PLC0415 - optional

        def cell(v):
            return float(v) if isinstance(v, decimal.Decimal) else v

        return pandas.DataFrame([[cell(v) for v in row] for row in self.rows],
                                columns=[c.heading for c in self.columns])


@dataclasses.dataclass(frozen=True)
class FleetResult:
    """The outcome for one meter of ``read_fleet``."""

    meter: str
    ok: bool
    error: str = ""
    diagnosis: Optional[Diagnosis] = None
    attempts: int = 0
    read_at: Optional[datetime.datetime] = None
    readings: tuple = ()
    profile: Optional[ProfileTable] = None
    dump: Optional[dict] = None
