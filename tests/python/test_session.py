"""quillon against the simulated meter: object list, registers, the clock,
profiles, writes and methods, refusals and failures, ciphered sessions."""

import datetime
import decimal
import re
import subprocess
import os

import pytest

import quillon
from conftest import port_of, start_sim, stop_sim

GMAC = dict(client=33, auth="gmac", security="auth-enc", ek="000102030405060708090A0B0C0D0E0F",
            ak=bytes.fromhex("D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"), kek="101112131415161718191A1B1C1D1E1F",
            server_system_title="5153494D00000001")


@pytest.fixture
def session(sim_port):
    with quillon.Session(quillon.Meter.tcp("127.0.0.1", sim_port)) as s:
        yield s


def test_object_list_names_classes_and_access(session):
    entries = {e.obis: e for e in session.objects()}
    clock = entries["0.0.1.0.0.255"]
    assert (clock.class_id, clock.version, clock.class_name, clock.description) == (8, 0, "Clock", "Clock")
    assert clock.attributes[1] == "time"
    status = entries["0.0.96.10.1.255"]
    assert status.attribute_access[2] == 3 and status.may_read(2)
    (association,) = [e for e in session.objects() if e.class_id == 15 and e.obis == "0.0.40.0.0.255"]
    assert association.may_read(2) and not association.may_read(7)  # the secret is not given out
    energy = entries["1.0.1.8.0.255"]
    assert energy.class_id == 3 and energy.attribute_access[2] == 1
    assert "Active energy import" in energy.description


@pytest.mark.parametrize("ref, value, scaler, unit, scaled", [
    ("1.0.32.7.0.255", 2300, -1, "V", "230.0"),
    ("3/1-0:31.7.0*255/2", 550, -2, "A", "5.50"),
])
def test_register_reads_with_unit_and_exact_scaled_value(session, ref, value, scaler, unit, scaled):
    r = session.get(ref)
    assert (r.value, r.scaler, r.unit) == (value, scaler, unit)
    assert isinstance(r.scaled, decimal.Decimal) and str(r.scaled) == scaled
    assert r.class_id == 3 and r.attribute == 2


def test_several_references_at_once_read_in_order(session):
    readings = session.get("1.0.32.7.0.255", "0.0.96.10.1.255", "8/0.0.1.0.0.255/9")
    assert [r.ref for r in readings] == ["3/1.0.32.7.0.255/2", "1/0.0.96.10.1.255/2", "8/0.0.1.0.0.255/9"]
    assert readings[1].scaler is None and readings[1].scaled is None


def test_clock_reads_as_aware_datetime_and_enums_by_name(session):
    now = session.get("8/0.0.1.0.0.255/2").value
    assert isinstance(now, datetime.datetime) and now.tzinfo is not None
    assert abs((now - datetime.datetime.now(datetime.timezone.utc)).total_seconds()) < 3600
    base = session.get("0.0.1.0.0.255/9").value
    assert isinstance(base, quillon.Enum) and base == 1 and base.name == "internal crystal"


def quarter_hours(start, end):
    first = (start + 899) // 900 * 900
    return list(range(first, end + 1, 900))


@pytest.fixture
def day_range():
    now = int(datetime.datetime.now(datetime.timezone.utc).timestamp()) // 900 * 900
    start, end = now - 6 * 3600 + 7 * 60, now - 3 * 3600
    utc = datetime.timezone.utc
    return (datetime.datetime.fromtimestamp(start, utc), datetime.datetime.fromtimestamp(end, utc),
            quarter_hours(start, end))


def test_profile_by_time_range_has_headed_columns_and_every_entry(session, day_range, tmp_path):
    start, end, stamps = day_range
    t = session.profile("1.0.99.1.0.255", start=start, end=end)
    assert len(t) == len(stamps)
    assert t.columns[0].heading == "Clock [0.0.1.0.0.255/2]"
    energy = next(c for c in t.columns if c.obis == "1.0.1.8.0.255")
    assert energy.unit == "Wh" and "[1.0.1.8.0.255/2, Wh]" in energy.heading
    assert [int(row[0].timestamp()) for row in t.rows] == stamps
    col = t.columns.index(energy)
    assert all(isinstance(row[col], decimal.Decimal) for row in t.rows)
    path = tmp_path / "profile.csv"
    t.to_csv(path)
    lines = path.read_text().splitlines()
    assert len(lines) == len(stamps) + 1 and lines[0].startswith("Clock [0.0.1.0.0.255/2],")


def test_profile_by_entries_and_bad_ranges(session):
    assert len(session.profile("7/1.0.99.1.0.255", entries=(3, 5))) == 3
    with pytest.raises(quillon.UsageError, match=r'--entries "5..2": expected A..B'):
        session.profile("1.0.99.1.0.255", entries=(5, 2))
    with pytest.raises(quillon.MeterError, match="not a profile"):
        session.profile("1.0.1.8.0.255", entries=(1, 2))


def test_profile_round_trips_through_pandas(session, day_range):
    pandas = pytest.importorskip("pandas")
    start, end, stamps = day_range
    t = session.profile("1.0.99.1.0.255", start=start, end=end)
    df = t.to_pandas()
    assert isinstance(df, pandas.DataFrame)
    assert list(df.columns) == [c.heading for c in t.columns] and len(df) == len(stamps)
    energy = next(i for i, c in enumerate(t.columns) if c.obis == "1.0.1.8.0.255")
    assert df.iloc[-1, energy] == pytest.approx(float(t.rows[-1][energy]))


def test_set_and_action_take_python_values(session):
    # A data object's value type is its own: the present value says it.
    session.set("1/0.0.96.10.1.255/2", 7)
    assert session.get("0.0.96.10.1.255").value == 7
    session.set("0.0.96.10.1.255", quillon.Unsigned(9))
    assert session.get("0.0.96.10.1.255").value == 9
    # The class says the disconnector's methods take integer (0).
    session.action("70/0.0.96.3.10.255/1")
    assert session.get("0.0.96.3.10.255/2").value is False
    session.action("0.0.96.3.10.255/2", quillon.Integer(0))
    assert session.get("0.0.96.3.10.255/2").value is True


def test_clock_writes_take_their_types_from_the_class(session):
    utc = datetime.timezone.utc
    when = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=utc)
    try:
        session.set("8/0.0.1.0.0.255/2", when)  # octet-string date-time
        assert 0 <= (session.get("0.0.1.0.0.255").value - when).total_seconds() < 3600
        session.set("0.0.1.0.0.255/3", -60)  # time_zone: long
        assert session.get("0.0.1.0.0.255/3").value == -60
        with pytest.raises(quillon.UsageError, match="Long:40000"):
            session.set("0.0.1.0.0.255/3", 40000)
    finally:
        session.set("0.0.1.0.0.255/3", 0)
        session.set("0.0.1.0.0.255/2", datetime.datetime.now(utc))


@pytest.mark.parametrize("call, error, text", [
    (lambda s: s.set("1.0.1.8.0.255", quillon.DoubleLongUnsigned(1)), quillon.MeterError, "refused"),
    (lambda s: s.set("0.0.96.10.1.255", quillon.Unsigned(256)), quillon.UsageError,
     'value "Unsigned:256": expected an integer in 0..255 after Unsigned:'),
    (lambda s: s.set("0.0.96.10.1.255", quillon.Data("<Unsigned Value=")), quillon.UsageError, "DLMS XML"),
    (lambda s: s.set("0.0.96.10.1.255", 1.5), quillon.UsageError, "expected an int"),
    (lambda s: s.set("0.0.96.10.1.255", object()), quillon.UsageError, "expected int, float"),
    (lambda s: s.action("70/0.0.96.3.10.255/9"), quillon.MeterError, "refused"),
    (lambda s: s.action("0.0.96.3.10.255"), quillon.UsageError, "expected [CLASS/]OBIS/METHOD"),
    (lambda s: s.get("1.0.1.8.0"), quillon.UsageError, 'OBIS code "1.0.1.8.0"'),
])
def test_refusals_and_bad_values_raise(session, call, error, text):
    with pytest.raises(error) as e:
        call(session)
    assert text in str(e.value)
    # The session is still usable after a refusal.
    assert session.get("0.0.96.10.1.255").value is not None


def test_wrong_password_raises_with_its_diagnosis(sim_port):
    meter = quillon.Meter.tcp("127.0.0.1", sim_port, client=17, auth="low", password=b"wrong")
    with pytest.raises(quillon.MeterError) as e:
        with quillon.Session(meter):
            pass
    d = e.value.diagnosis
    assert d is not None and d.name == "authentication-failure"
    assert d.what and d.cause and "--password" in d.fix
    assert str(d) == f"{d.what}. Likely cause: {d.cause}. Fix: {d.fix}."
    # And the right one opens.
    with quillon.Session(quillon.Meter.tcp("127.0.0.1", sim_port, client=17, auth="low", password="12345678")) as s:
        assert s.get("1.0.32.7.0.255").value == 2300


def test_gmac_ciphered_session_reads(sim_port):
    meter = quillon.Meter.tcp("127.0.0.1", sim_port, **GMAC)
    with quillon.Session(meter) as s:
        assert s.get("1.0.32.7.0.255").scaled == decimal.Decimal("230.0")
        assert any(e.obis == "1.0.1.8.0.255" for e in s.objects())
        first = s.invocation_counter
    # The counter goes on from where the last session left it.
    with quillon.Session(meter) as s:
        assert s.invocation_counter > first
        assert s.get("0.0.96.10.1.255").value is not None


def cli_error(args):
    r = subprocess.run([os.environ["QUILLON_CLI"], *args, "get", "1.0.1.8.0.255"], capture_output=True, text=True,
                       timeout=30)
    assert r.returncode == 2, r.stderr
    return r.stderr.strip().removeprefix("quillon-cli: ")


@pytest.mark.parametrize("make, cli", [
    (lambda: quillon.Meter.tcp("127.0.0.1", 0), ["--tcp", "127.0.0.1:0"]),
    (lambda: quillon.Meter.tcp("127.0.0.1", auth="kerberos"), ["--tcp", "127.0.0.1", "--auth", "kerberos"]),
    (lambda: quillon.Meter.tcp("127.0.0.1", security="auth-enc"), ["--tcp", "127.0.0.1", "--security", "auth-enc"]),
    (lambda: quillon.Meter.tcp("127.0.0.1", **{**GMAC, "ek": "00zz"}),
     ["--tcp", "127.0.0.1", "--client", "33", "--auth", "gmac", "--security", "auth-enc", "--ek", "00zz"]),
    (lambda: quillon.Meter.tcp("127.0.0.1", **{**GMAC, "ak": b"\x01\x02"}),
     ["--tcp", "127.0.0.1", "--client", "33", "--auth", "gmac", "--security", "auth-enc", "--ek",
      GMAC["ek"], "--ak", "0102", "--kek", GMAC["kek"], "--server-system-title", GMAC["server_system_title"]]),
    (lambda: quillon.Meter.tcp("127.0.0.1", auth="low"), ["--tcp", "127.0.0.1", "--auth", "low"]),
    (lambda: quillon.Meter.tcp("127.0.0.1", quirks=["no-such-quirk"]), ["--tcp", "127.0.0.1", "--quirk", "no-such-quirk"]),
    (lambda: quillon.Meter.named("nowhere"), ["--meter", "nowhere"]),
])
def test_meter_settings_fail_with_the_cli_messages(make, cli):
    with pytest.raises(quillon.UsageError) as e:
        make()
    assert str(e.value) == cli_error(cli)


@pytest.mark.parametrize("settings, text", [
    (dict(client="x"), "client 'x': expected"),
    (dict(client=-5), "client -5: expected 0 or more"),
    (dict(timeout=-1), "timeout -1: expected 0..86400 seconds"),
    (dict(quirks=5), "quirks 5: expected a list of quirks"),
    (dict(ek=12), "ek of type int: expected hex str or bytes"),
    (dict(password=1234), "password of type int: expected str or bytes"),
    (dict(colour="red"), "keyword colour: expected one of the meter settings"),
])
def test_settings_of_the_wrong_kind_raise_usage_errors(settings, text):
    with pytest.raises(quillon.UsageError, match=re.escape(text)):
        quillon.Meter.tcp("127.0.0.1", **settings)


@pytest.mark.parametrize("field, value, text", [
    ("ek", "000102030405060708090A0B0C0D0E0G", "--ek: 31 hex digits of 32; position 32 is not a hex digit"),
    ("ak", "D0D1D2D3D4D5D6D7D8D9DADBDCDDDE", "--ak: expected 32 hex digits (a 16-byte key for security suite 0), found 30"),
])
def test_a_mistyped_secret_is_described_never_echoed(field, value, text):
    with pytest.raises(quillon.UsageError) as e:
        quillon.Meter.tcp("127.0.0.1", **{**GMAC, field: value})
    assert str(e.value) == text
    assert value[:8] not in str(e.value)


def test_a_host_with_a_control_character_is_refused():
    for host, position in (("127.0.0.1\0evil", 10), ("meter\n.example", 6)):
        with pytest.raises(ValueError, match=re.escape(f"host: position {position} is a control character")):
            quillon.Meter.tcp(host)


def test_a_time_without_a_zone_is_refused_not_guessed(session):
    naive = datetime.datetime(2026, 1, 2, 3, 0)
    with pytest.raises(quillon.UsageError, match=r"start datetime\.datetime\(2026, 1, 2, 3, 0\): expected a datetime "
                                                 r"with a time zone"):
        session.profile("1.0.99.1.0.255", start=naive)


def test_values_nested_without_end_are_refused(session):
    deep = 1
    for _ in range(200):
        deep = [deep]
    looped = []
    looped.append(looped)
    for value in (deep, looped, quillon.Array(looped)):
        with pytest.raises(quillon.UsageError, match="levels of nesting"):
            session.set("0.0.96.10.1.255", value)


def test_named_meter_from_the_meters_file(sim_port, private_folders):
    folder = private_folders / "xdg_config_home" / "quillon"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "meters.ini").write_text(f"[lab]\ntransport=tcp\nhost=127.0.0.1\nport={sim_port}\nclient=17\n"
                                       "auth=low\npassword=12345678\n")
    meter = quillon.Meter.named("lab")
    assert (meter.name, meter.port, meter.client, meter.auth) == ("lab", sim_port, 17, "low")
    with quillon.Session(meter) as s:
        assert s.get("1.0.32.7.0.255").unit == "V"


@pytest.mark.parametrize("sim_args, make", [
    (["--profile", "hdlc-tcp", "--port", "0"],
     lambda line: quillon.Meter.hdlc_tcp("127.0.0.1", port_of(line), physical=17, client=18, auth="md5",
                                         password="Quillon-HLS-secret")),
    (["--profile", "hdlc-pty"], lambda line: quillon.Meter.serial(line.split()[-1], physical=17, client=16)),
    (["--profile", "hdlc-pty", "--mode-e"],
     lambda line: quillon.Meter.serial(line.split()[-1], mode_e=True, physical=17, client=48, short_names=True)),
    (["--port", "0"], lambda line: quillon.Meter.tcp("127.0.0.1", port_of(line), client=49, auth="low",
                                                     password=b"12345678", short_names=True)),
], ids=["hdlc-tcp-md5", "serial", "serial-mode-e-sn", "wrapper-sn-low"])
def test_every_transport_and_referencing(sim_args, make):
    proc, line = start_sim(*sim_args)
    try:
        with quillon.Session(make(line)) as s:
            assert s.get("1.0.32.7.0.255").scaled == decimal.Decimal("230.0")
            s.set("0.0.96.10.1.255", 3)
            assert s.get("0.0.96.10.1.255").value == 3
    finally:
        stop_sim(proc)


@pytest.fixture(scope="module")
def blocks_without_bit_port():
    """A meter that answers long reads in data blocks it did not grant."""
    proc, line = start_sim("--port", "0", "--blocks-without-bit")
    yield port_of(line)
    stop_sim(proc)


def test_blocks_without_their_bit_read_by_default_and_said_once(blocks_without_bit_port, caplog):
    meter = quillon.Meter.tcp("127.0.0.1", blocks_without_bit_port)
    assert meter.strict is False
    with caplog.at_level("WARNING", logger="quillon"):
        with quillon.Session(meter) as s:
            assert len(s.objects()) > 40
            assert s.get("1.0.32.7.0.255").unit == "V"
    notes = [r.getMessage() for r in caplog.records if r.name == "quillon"]
    assert notes == ["quirk blocks-without-bit: the meter answers in data blocks without granting block transfer "
                     "in its conformance; tolerated (strict refuses it)"]


def test_strict_refuses_them_naming_the_quirk(blocks_without_bit_port, caplog):
    meter = quillon.Meter.tcp("127.0.0.1", blocks_without_bit_port, strict=True)
    assert meter.strict is True
    with quillon.Session(meter) as s:
        with pytest.raises(quillon.MeterError) as e:
            s.objects()
    assert str(e.value) == "General-block-transfer received when not allowed by the conformance block"
    d = e.value.diagnosis
    assert d is not None and d.name == "meter-quirk"
    assert d.what == "The meter answers in data blocks without granting block transfer in its conformance"
    assert d.fix == "drop --strict or add --quirk blocks-without-bit (save-meter keeps it with the meter)"
    # Strict, the quirk still lets them pass.
    with caplog.at_level("WARNING", logger="quillon"):
        with quillon.Session(quillon.Meter.tcp("127.0.0.1", blocks_without_bit_port, strict=True,
                                               quirks=["blocks-without-bit"])) as s:
            assert len(s.objects()) > 40
    assert [r.getMessage() for r in caplog.records if r.name == "quillon"][-1].endswith("tolerated as its quirks ask")


def test_strict_takes_a_bool():
    with pytest.raises(quillon.UsageError, match=re.escape("strict 'yes': expected True or False")):
        quillon.Meter.tcp("127.0.0.1", strict="yes")
