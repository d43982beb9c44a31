"""Type stub of the extension module: meters, sessions and fleets."""

import datetime
import os
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence, Tuple, Union, overload

from ._types import FleetResult, ObjectEntry, ProfileTable, Reading

__version__: str

_Bytes = Union[str, bytes, bytearray]  # hex text or the bytes themselves
_Time = Union[datetime.datetime, str]
_Path = Union[str, os.PathLike]

class Meter:
    """How to reach one meter and associate with it. The settings are checked
    as quillon-cli checks its options; a bad one raises UsageError."""

    @staticmethod
    def tcp(host: str, port: int = 4059, *, client: int = 16, server: int = 1, auth: Optional[str] = ...,
            password: Optional[Union[str, bytes]] = ..., security: Optional[str] = ..., suite: Optional[int] = ...,
            ek: Optional[_Bytes] = ..., ak: Optional[_Bytes] = ..., kek: Optional[_Bytes] = ...,
            system_title: Optional[_Bytes] = ..., server_system_title: Optional[_Bytes] = ...,
            signing_key: Optional[_Path] = ..., server_signing_key: Optional[_Path] = ...,
            dedicated_key: bool = ..., keys: Optional[_Path] = ..., quirks: Sequence[str] = ...,
            timeout: Optional[float] = ..., connect_timeout: Optional[float] = ...,
            invocation_counter: Optional[Union[int, str]] = ..., short_names: bool = ...,
            physical: Optional[int] = ..., address_size: Optional[int] = ..., strict: bool = ...) -> "Meter":
        """The DLMS wrapper over TCP. auth: none, low, manufacturer, md5, sha1,
        gmac, sha256 or ecdsa; security: none, auth, enc or auth-enc; timeouts
        in seconds; invocation_counter: "auto" or the first counter; strict:
        refuse the deviations tolerated by default (said once per session on
        the "quillon" logger when they are let pass), quirks given still apply."""
    @staticmethod
    def hdlc_tcp(host: str, port: int, **settings: Any) -> "Meter":
        """HDLC frames over TCP (transparent modems, terminal servers)."""
    @staticmethod
    def serial(device: _Path, baud: int = 9600, mode_e: bool = False, **settings: Any) -> "Meter":
        """HDLC over a serial line, optionally opened with the mode E handshake."""
    @staticmethod
    def named(name: str, **settings: Any) -> "Meter":
        """A meter of the meters file ($XDG_CONFIG_HOME/quillon/meters.ini),
        the settings given overriding its own."""
    name: str
    @property
    def host(self) -> str: ...
    @property
    def port(self) -> int: ...
    @property
    def device(self) -> str: ...
    @property
    def client(self) -> int: ...
    @property
    def server(self) -> int: ...
    @property
    def auth(self) -> str: ...
    @property
    def security(self) -> str: ...
    @property
    def strict(self) -> bool: ...

class Session:
    """One association with one meter: ``with Session(meter) as s:`` opens the
    link and the association and releases them at the end. Calls release
    the GIL while they wait; Ctrl-C cancels the call that waits."""

    def __init__(self, meter: Meter, progress: Optional[Callable[..., Any]] = None,
                 keep_invocation_counter: bool = True) -> None:
        """progress(blocks=, bytes=, entries=) hears of every exchange; an
        exception it raises cancels the call and comes out of it."""
    def __enter__(self) -> "Session": ...
    def __exit__(self, *exc: Any) -> bool: ...
    def open(self) -> None: ...
    def close(self, release: bool = True) -> None: ...
    def cancel(self) -> None:
        """Cancels the call that runs now (from another thread)."""
    @property
    def is_open(self) -> bool: ...
    @property
    def invocation_counter(self) -> int: ...
    @property
    def last_xml(self) -> str: ...
    @property
    def max_pdu_size(self) -> int: ...
    def objects(self) -> list[ObjectEntry]:
        """The association's object list."""
    @overload
    def get(self, ref: str) -> Reading: ...
    @overload
    def get(self, ref: str, *refs: str) -> list[Reading]: ...
    @overload
    def get(self, refs: Sequence[str]) -> list[Reading]: ...
    def set(self, ref: str, value: Any) -> None:
        """Writes an attribute; the DLMS type comes from the class where it
        knows it, else from the attribute's present value, else from a
        wrapper (quillon.LongUnsigned(300)). A datetime with a time zone is
        written with its deviation; a naive one as the meter's own wall-clock
        time, deviation unspecified. A refusal raises MeterError."""
    def action(self, ref: str, value: Any = None) -> Any:
        """Invokes a method; returns what the meter returns (or None)."""
    def profile(self, ref: str, *, start: Optional[_Time] = None, end: Optional[_Time] = None,
                entries: Optional[Tuple[int, Optional[int]]] = None) -> ProfileTable:
        """A profile's entries by capture time (a datetime with a time zone,
        or ISO 8601 text; a naive datetime is refused with UsageError, since
        it could mean local time or UTC) or by entry numbers from 1;
        neither: the whole buffer."""

class _FleetRun(Iterator[FleetResult]):
    def __next__(self) -> FleetResult: ...
    def close(self) -> None: ...

def _read_fleet(meters: Union[Iterable[Meter], _Path], what: str, refs: Any, jobs: int, retries: int,
                retry_delay: float, meter_timeout: float, start: Optional[_Time], end: Optional[_Time],
                entries: Optional[Tuple[int, Optional[int]]], keep_invocation_counters: bool) -> _FleetRun: ...
