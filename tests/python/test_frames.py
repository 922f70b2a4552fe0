"""Runs as tables: the native columns module and the frames functions. Every
table must hold the "generate" answer's records value for value, every bad
spec must fail with the command's own text, and the columns must travel to
NumPy, pandas and Arrow without a copy and without outliving their memory."""

from __future__ import annotations

import gc
import inspect
import json
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import talpen_synth
from talpen_synth import Synth, _talpen_columns
from talpen_synth.frames import TABLE_NAMES, bar_secs_of

from conftest import ALLOCATION_FAILURES_RAISE, UNDER_ASAN, WORKED_SPEC, make_spec, micro

COLUMNS = {
    "candles": ("ts", "open", "high", "low", "close", "volume"),
    "book": ("ts", "side", "level", "price", "qty"),
    "trades": ("ts", "seq", "price", "qty", "side"),
    "funding": ("ts", "rate"),
}
# The tables of the Python layer: books and trades also carry the end of their bar.
PY_COLUMNS = {**COLUMNS, "book": (*COLUMNS["book"], "available_at"),
              "trades": (*COLUMNS["trades"], "available_at")}
DTYPES = {
    "ts": "int64", "open": "float64", "high": "float64", "low": "float64", "close": "float64",
    "volume": "float64", "side": "uint8", "level": "uint32", "price": "float64", "qty": "float64",
    "seq": "uint64", "rate": "float64", "available_at": "int64",
}


def big_spec(bars: int, depth: int = 10, rate: float = 5.0) -> dict:
    q = bars // 4
    kinds = [("trend", 0.0002, 0.01), ("range", 0.3, 0.012), ("crash", 0.001, 0.02), ("vol", 0.0, 0.015)]
    lens = [q, q, q, bars - 3 * q]
    return {"seed": 7, "bars": bars, "start_price": 100.0, "bar_secs": 60,
            "regimes": [{"kind": k, "len": n, "drift": d, "vol": v} for (k, d, v), n in zip(kinds, lens)],
            "microstructure": {"book_depth": depth, "spread_bps": 5.0, "trade_rate": rate,
                               "funding": {"interval_bars": 8, "base_rate": 0.0001, "sensitivity": 0.5}}}


# --- the command path, as the reference -----------------------------------


def command_outcome(spec) -> dict | str | type:
    """The "generate" answer for `spec` (a value, sent as a command's "spec"
    member): the parsed document, the error text of the envelope, or
    MemoryError when the command raised it."""
    text = json.dumps({"cmd": "generate", "spec": spec})
    try:
        doc = json.loads(Synth("{}").command(text))
    except MemoryError:
        return MemoryError
    return doc["error"] if doc.get("ok") is False else doc


def expected_tables(doc: dict, bar_secs: int | None = None) -> dict[str, dict[str, list]]:
    """The answer's records laid out as the four tables, in row order; with
    `bar_secs`, books and trades with `available_at` (capped at int64)."""
    book = {name: [] for name in COLUMNS["book"]}
    for snap in doc["book_snapshots"]:
        for side, key in ((0, "bids"), (1, "asks")):
            for level, entry in enumerate(snap[key]):
                for name, value in zip(COLUMNS["book"], (snap["ts"], side, level, entry["price"], entry["qty"])):
                    book[name].append(value)

    def records(rows, names, convert=lambda name, v: v):
        return {name: [convert(name, row[name]) for row in rows] for name in names}

    side_code = lambda name, v: (1 if v == "sell" else 0) if name == "side" else v  # noqa: E731
    tables = {
        "candles": records(doc["candles"], COLUMNS["candles"]),
        "book": book,
        "trades": records(doc["trades"], COLUMNS["trades"], side_code),
        "funding": records(doc.get("funding", []), COLUMNS["funding"]),
    }
    if bar_secs is not None:
        for name in ("book", "trades"):
            tables[name]["available_at"] = [min(ts + bar_secs, 2**63 - 1) for ts in tables[name]["ts"]]
    return tables


def assert_same_values(name: str, got: np.ndarray, want: list) -> None:
    """Integers exactly; doubles by bit pattern (a null in the answer is a
    non-finite double)."""
    assert got.dtype == np.dtype(DTYPES[name]), name
    assert len(got) == len(want), name
    if got.dtype.kind == "f":
        nulls = np.array([v is None for v in want], dtype=bool)
        w = np.array([np.nan if v is None else v for v in want], dtype=np.float64)
        assert np.array_equal(got.view(np.uint64)[~nulls], w.view(np.uint64)[~nulls]), name
        assert not np.isfinite(got[nulls]).any(), name
    else:
        assert got.tolist() == want, name


def assert_tables_match(arrays, doc: dict, spec) -> None:
    want = expected_tables(doc, bar_secs_of(spec))
    for table_name, table in zip(TABLE_NAMES, arrays):
        assert tuple(table) == PY_COLUMNS[table_name]
        for column, values in table.items():
            assert_same_values(column, values, want[table_name][column])


# --- random specs ---------------------------------------------------------

KINDS = ["trend", "range", "crash", "vol"]


@st.composite
def valid_specs(draw) -> dict:
    bars = draw(st.integers(1, 40))
    cuts = sorted(draw(st.sets(st.integers(1, bars - 1), max_size=min(3, bars - 1)))) if bars > 1 else []
    bounds = [0, *cuts, bars]
    regimes = [{"kind": draw(st.sampled_from(KINDS)), "len": b - a,
                "drift": draw(st.floats(-0.01, 0.01)), "vol": draw(st.floats(0.0, 0.05))}
               for a, b in zip(bounds, bounds[1:])]
    m = {"book_depth": draw(st.integers(1, 4)), "spread_bps": draw(st.floats(0.0, 50.0)),
         "trade_rate": draw(st.floats(0.0, 4.0))}
    if draw(st.booleans()):
        m["funding"] = {"interval_bars": draw(st.integers(1, 10)), "base_rate": draw(st.floats(-1e-3, 1e-3)),
                        "sensitivity": draw(st.floats(-1.0, 1.0))}
    spec = {"seed": draw(st.integers(0, 2**64 - 1)), "bars": bars,
            "start_price": draw(st.floats(0.01, 1e6)), "regimes": regimes, "microstructure": m}
    if draw(st.booleans()):
        spec["start_ts"] = draw(st.integers(-2**40, 2**40))
        spec["bar_secs"] = draw(st.integers(1, 86400))
    return spec


ODD_VALUES = st.sampled_from([None, True, "x", -1, 0, 1.5, -0.0, 2**64, -2**63 - 1, [], {},
                              {"trend": None}, {"trend": 1}, {"a": None, "b": None}, "Trend", 2**63 - 1, 1e300])


@st.composite
def mutated_specs(draw) -> dict:
    """A valid spec with one member of one of its objects replaced, removed
    or added: mostly refused, sometimes still valid."""
    spec = draw(valid_specs())
    holders = [spec, spec["microstructure"], *spec["regimes"]]
    if "funding" in spec["microstructure"]:
        holders.append(spec["microstructure"]["funding"])
    holder = draw(st.sampled_from(holders))
    key = draw(st.sampled_from([*holder, "extra"]))
    if draw(st.booleans()):
        holder.pop(key, None)
    else:
        holder[key] = draw(ODD_VALUES)
    return spec


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(valid_specs())
def test_tables_hold_the_generate_records_bit_for_bit(spec):
    doc = command_outcome(spec)
    if isinstance(doc, str):  # a walk may still leave the finite range
        with pytest.raises(ValueError) as raised:
            talpen_synth.generate_arrays(spec)
        assert str(raised.value) == doc
        return
    assert_tables_match(talpen_synth.generate_arrays(spec), doc, spec)
    assert_tables_match(talpen_synth.generate_arrays(json.dumps(spec, indent=2)), doc, spec)


@settings(max_examples=60, deadline=None)
@given(mutated_specs())
def test_any_spec_has_the_outcome_of_the_command(spec):
    doc = command_outcome(spec)
    if doc is MemoryError:  # a valid spec with an impossible book
        with pytest.raises(MemoryError):
            talpen_synth.generate_columns(spec)
    elif isinstance(doc, str):
        for run in (talpen_synth.generate_arrays, talpen_synth.generate_columns):
            with pytest.raises(ValueError) as raised:
                run(spec)
            assert str(raised.value) == doc
        if not doc.startswith("numeric: "):  # a spec fault, found without running
            with pytest.raises(ValueError) as raised:
                _talpen_columns.check_spec(json.dumps(spec))
            assert str(raised.value) == doc
    else:
        assert_tables_match(talpen_synth.generate_arrays(spec), doc, spec)


# --- every route gives the same values ------------------------------------


def test_all_routes_agree_with_the_answer():
    spec = make_spec(bars=12, regimes=[{"kind": "crash", "len": 12, "drift": 0.001, "vol": 0.03}],
                     microstructure=micro(trade_rate=3.0, funding={"interval_bars": 2, "base_rate": 1e-4,
                                                                   "sensitivity": 0.5}))
    doc = command_outcome(spec)
    assert doc["trades"] and doc["funding"] and any(t["side"] == "sell" for t in doc["trades"])
    want = expected_tables(doc, spec["bar_secs"])
    columns = talpen_synth.generate_columns(spec)
    arrow = talpen_synth.to_arrow(spec)
    frames = talpen_synth.generate_frames(spec, datetimes=False)
    for name, native, table, frame in zip(TABLE_NAMES, columns, arrow, frames):
        # Arrow's times are UTC timestamps of the same int64 seconds.
        table = table.cast(table.schema.set(0, table.schema.field("ts").with_type(pa.int64())))
        if "available_at" in table.column_names:
            i = table.column_names.index("available_at")
            table = table.cast(table.schema.set(i, table.schema.field(i).with_type(pa.int64())))
        assert native.name == name and native.column_names == COLUMNS[name]
        assert len(native) == native.num_rows == table.num_rows == len(frame)
        for column in COLUMNS[name]:
            values = want[name][column]
            assert_same_values(column, np.from_dlpack(native[column]), values)
            assert_same_values(column, np.asarray(native[column]), values)
            if column == "side":
                labels = native[column].categories
                assert table.column(column).to_pylist() == [labels[v] for v in values]
                assert frame[column].tolist() == [labels[v] for v in values]
            else:
                assert_same_values(column, table.column(column).to_numpy(), values)
                assert_same_values(column, frame[column].to_numpy(), values)
        assert tuple(table.column_names) == PY_COLUMNS[name] == tuple(frame.columns)
        if "available_at" in PY_COLUMNS[name]:
            assert_same_values("available_at", table.column("available_at").to_numpy(), want[name]["available_at"])
            assert_same_values("available_at", frame["available_at"].to_numpy(), want[name]["available_at"])


def test_array_form_spec_text_and_surrounding_white_space():
    keys = ["seed", "bars", "start_price", "start_ts", "bar_secs", "regimes", "microstructure"]
    as_array = json.dumps([WORKED_SPEC[k] for k in keys])
    want = command_outcome(json.loads(as_array))
    assert_tables_match(talpen_synth.generate_arrays(" \n\t" + as_array + "\r\n"), want, as_array)


def test_worked_example_tables():
    candles, book, trades, funding = talpen_synth.generate_arrays(WORKED_SPEC)
    assert candles["close"].tolist() == [99.83153469, 99.1436087, 97.46499435]
    assert book["side"].tolist() == [0, 0, 1, 1] * 3 and book["level"].tolist() == [0, 1, 0, 1] * 3
    assert trades["seq"].tolist() == [0, 1]
    assert funding["ts"].tolist() == [1700007200]


@pytest.mark.parametrize("micro_changes, empty", [
    ({"trade_rate": 0.0, "funding": None}, {"trades", "funding"}),
    ({"funding": {"interval_bars": 5, "base_rate": 0.0, "sensitivity": 0.0}}, {"funding"}),
])
def test_empty_tables_keep_their_schema(micro_changes, empty):
    spec = make_spec(microstructure=micro(**micro_changes))
    arrow = talpen_synth.to_arrow(spec)
    frames = talpen_synth.generate_frames(spec)
    for name, table, frame in zip(TABLE_NAMES, arrow, frames):
        assert (table.num_rows == 0) == (name in empty)
        assert tuple(table.column_names) == PY_COLUMNS[name] == tuple(frame.columns)


# --- errors ---------------------------------------------------------------

POSITION = re.compile(r"^(.*) at line (\d+) column (\d+)$")


@pytest.mark.parametrize("text", ['{"seed":1,}', "\ufeff{}", '{"seed":nul}', "NaN", '{"seed": 1,\n\n  "bars": [1 2]}',
                                  '[\n1,\n-]'])
def test_bad_spec_text_fails_like_a_command_counting_in_the_spec_text(text):
    # Inside a command the spec text follows a prefix on the first line, so
    # positions there are shifted by the prefix on line 1 and equal below it.
    prefix = '{"cmd":"generate","spec":'
    want = json.loads(Synth("{}").command(prefix + text + "}"))["error"]
    with pytest.raises(ValueError) as raised:
        talpen_synth.generate_frames(text)
    got = str(raised.value)
    g, w = POSITION.match(got), POSITION.match(want)
    assert got.startswith("parse: ") and g and w
    assert (g[1], g[2]) == (w[1], w[2])
    shift = len(prefix.encode()) if g[2] == "1" else 0
    assert int(g[3]) + shift == int(w[3])


@pytest.mark.parametrize("text, message", [
    ("", "parse: EOF while parsing a value at line 1 column 0"),
    ("  {", "parse: EOF while parsing an object at line 1 column 3"),
    ("{} x", "parse: trailing characters at line 1 column 4"),
])
def test_spec_text_is_one_whole_document(text, message):
    with pytest.raises(ValueError) as raised:
        talpen_synth.generate_columns(text)
    assert str(raised.value) == message


@pytest.mark.parametrize("spec, message", [
    ({}, "parse: missing field `seed`"),
    (make_spec(bars=0), "bad spec: bars must be > 0"),
    (make_spec(start_ts=2**63 - 1), "bad spec: start_ts + (bars - 1) * bar_secs overflows i64"),
    (make_spec(bars=1, regimes=[{"kind": "trend", "len": 1, "drift": 0.0, "vol": 3000.0}]),
     "numeric: price walk produced a non-finite value"),
])
@pytest.mark.parametrize("run", ["generate_columns", "generate_arrays", "generate_frames", "to_arrow"])
def test_errors_carry_the_command_text(spec, message, run):
    assert command_outcome(spec) == message
    with pytest.raises(ValueError) as raised:
        getattr(talpen_synth, run)(spec)
    assert str(raised.value) == message


def test_a_dict_that_is_no_json_fails_in_the_reader():
    # json.dumps writes NaN, which the reader refuses; the position counts in
    # the dict's own text, as no command text exists.
    spec = make_spec(start_price=float("nan"))
    with pytest.raises(ValueError) as raised:
        talpen_synth.generate_frames(spec)
    got = POSITION.match(str(raised.value))
    want = POSITION.match(command_outcome(spec))
    assert got[1] == want[1] == "parse: expected value"
    assert int(got[3]) == json.dumps(spec, separators=(",", ":")).index("NaN") + 1


@pytest.mark.parametrize("spec", [42, None, b"{}", [WORKED_SPEC]])
def test_a_spec_is_a_dict_or_text(spec):
    with pytest.raises(TypeError):
        talpen_synth.generate_frames(spec)


def test_write_parquet_leaves_nothing_behind_for_a_bad_spec(tmp_path):
    with pytest.raises(ValueError, match="^bad spec: bars must be > 0$"):
        talpen_synth.write_parquet(make_spec(bars=0), tmp_path / "out")
    assert not (tmp_path / "out").exists()


# --- the native objects ---------------------------------------------------


def test_tables_and_columns():
    candles, book, trades, funding = _talpen_columns.generate(json.dumps(WORKED_SPEC))
    assert [t.name for t in (candles, book, trades, funding)] == list(TABLE_NAMES)
    assert repr(book) == "<Table 'book': 5 columns, 12 rows>"
    price = book["price"]
    assert repr(price) == "<Column 'price' float64[12]>"
    assert (price.name, price.dtype, len(price), price.nbytes) == ("price", "float64", 12, 96)
    assert book.nbytes == 12 * (8 + 1 + 4 + 8 + 8)
    assert [book[i].name for i in range(5)] == list(book.column_names) == list(COLUMNS["book"])
    assert book[-1].name == "qty" and book[0].name == "ts"
    assert (book["side"].categories, trades["side"].categories, price.categories) == (
        ("bid", "ask"), ("buy", "sell"), None)
    assert [candles[n].dtype for n in candles.column_names] == ["int64"] + ["float64"] * 5
    assert (trades["seq"].dtype, book["level"].dtype) == ("uint64", "uint32")
    with pytest.raises(KeyError):
        book["nope"]
    with pytest.raises(IndexError):
        book[5]
    with pytest.raises(IndexError):
        book[-6]
    with pytest.raises(TypeError):
        book[1.0]
    for cls in (_talpen_columns.Table, _talpen_columns.Column):
        with pytest.raises(TypeError):
            cls()


def test_columns_outlive_their_tables_in_every_consumer():
    text = json.dumps(big_spec(2000))
    tables = _talpen_columns.generate(text)
    arrays = np.from_dlpack(tables[1]["price"])
    arrow = pa.table(tables[1])
    struct = pa.array(tables[2])
    views = np.asarray(tables[0]["close"])
    del tables
    gc.collect()
    _talpen_columns.generate(text)  # reuses freed memory if anything was freed early
    again = talpen_synth.generate_arrays(text)
    assert np.array_equal(arrays.view(np.uint64), again.book["price"].view(np.uint64))
    assert np.array_equal(arrow.column("price").to_numpy(), again.book["price"])
    assert np.array_equal(struct.field("seq").to_numpy(), again.trades["seq"])
    assert np.array_equal(views, again.candles["close"])


def test_exports_share_the_column_memory():
    book = _talpen_columns.generate(json.dumps(big_spec(100)))[1]
    price = book["price"]
    address = np.from_dlpack(price).__array_interface__["data"][0]
    assert pa.array(price).buffers()[1].address == address
    assert pa.table(book).column("price").chunks[0].buffers()[1].address == address
    assert address % 64 == 0
    frame = talpen_synth.generate_frames(big_spec(100)).book
    base = frame["price"].to_numpy()
    while isinstance(base, np.ndarray):
        base = base.base
    assert type(base).__name__ == "PyCapsule"  # a view of the run's memory, not a copy


@pytest.mark.parametrize("kwargs, capsule", [
    ({}, "dltensor"),
    ({"max_version": (0, 8)}, "dltensor"),
    ({"max_version": (1, 0)}, "dltensor_versioned"),
    ({"max_version": (1, 3), "dl_device": (1, 0), "copy": False}, "dltensor_versioned"),
])
def test_dlpack_capsules(kwargs, capsule):
    column = _talpen_columns.generate(json.dumps(WORKED_SPEC))[0]["open"]
    assert column.__dlpack_device__() == (1, 0)
    assert re.search(f"capsule object \"{capsule}\"", repr(column.__dlpack__(**kwargs)))


def test_dlpack_copy_and_refusals():
    column = _talpen_columns.generate(json.dumps(WORKED_SPEC))[0]["open"]
    shared = np.from_dlpack(column)
    copied = np.from_dlpack(column, copy=True)
    assert not np.shares_memory(shared, copied) and np.array_equal(shared, copied)
    # Views of an immutable column refuse writes; a copy is the caller's own.
    assert not shared.flags.writeable and not np.asarray(column).flags.writeable
    assert copied.flags.writeable
    assert np.asarray(column, dtype=np.float32).dtype == np.float32
    with pytest.raises(BufferError):
        column.__dlpack__(stream=1)
    with pytest.raises(BufferError):
        column.__dlpack__(dl_device=(2, 0))
    with pytest.raises(TypeError):
        column.__dlpack__(max_version=1)
    # Capsules that nobody takes are released with the capsule.
    for _ in range(3):
        column.__dlpack__()
        column.__dlpack__(max_version=(1, 0))
        column.__arrow_c_array__()
        column.__arrow_c_schema__()


def test_arrow_routes():
    candles, book, trades, _ = _talpen_columns.generate(json.dumps(WORKED_SPEC))
    streamed = pa.RecordBatchReader.from_stream(book).read_all()
    assert streamed.equals(pa.table(book))
    struct = pa.array(trades)
    assert struct.type.num_fields == 5 and struct.null_count == 0
    assert pa.schema(candles).names == list(COLUMNS["candles"])
    assert all(not f.nullable for f in pa.schema(candles))
    side = pa.array(book["side"])
    assert side.type == pa.dictionary(pa.int8(), pa.string()) and side.dictionary.to_pylist() == ["bid", "ask"]


def test_polars_takes_the_tables():
    pl = pytest.importorskip("polars")
    book = talpen_synth.generate_columns(WORKED_SPEC).book
    frame = pl.DataFrame(book)
    assert frame.columns == list(COLUMNS["book"]) and frame.height == 12
    assert frame["side"].dtype == pl.Categorical and frame["level"].dtype == pl.UInt32
    assert frame["price"].to_list() == np.from_dlpack(book["price"]).tolist()


def test_duckdb_queries_the_tables():
    duckdb = pytest.importorskip("duckdb")
    trades = talpen_synth.generate_columns(make_spec(microstructure=micro(trade_rate=3.0))).trades
    want = talpen_synth.generate_arrays(make_spec(microstructure=micro(trade_rate=3.0))).trades
    (rows,) = duckdb.sql("select count(*), sum(qty), max(seq) from trades").fetchall()
    assert rows[0] == len(want["qty"]) and rows[2] == want["seq"].max()
    assert rows[1] == pytest.approx(want["qty"].sum())


# --- frames ---------------------------------------------------------------


def test_frame_dtypes_and_datetimes():
    spec = make_spec(start_ts=-3600)
    plain = talpen_synth.generate_frames(spec, datetimes=False)
    dated = talpen_synth.generate_frames(spec)  # datetimes by default
    assert plain.book["side"].dtype == pd.CategoricalDtype(["bid", "ask"])
    assert plain.trades["side"].dtype == pd.CategoricalDtype(["buy", "sell"])
    for p, d in zip(plain, dated):
        assert str(d["ts"].dtype) == "datetime64[s, UTC]"
        seconds = (d["ts"] - pd.Timestamp(0, tz="UTC")) // pd.Timedelta(seconds=1)
        assert seconds.tolist() == p["ts"].tolist()
    assert dated.candles["ts"][0] == pd.Timestamp("1969-12-31 23:00:00", tz="UTC")


def test_the_one_timestamp_without_a_datetime():
    spec = make_spec(bars=1, start_ts=-2**63, regimes=[{"kind": "trend", "len": 1, "drift": 0.0, "vol": 0.01}])
    assert talpen_synth.generate_frames(spec, datetimes=False).candles["ts"][0] == -2**63
    with pytest.raises(ValueError, match="NaT"):
        talpen_synth.generate_frames(spec)


def test_frames_are_writable_and_independent():
    a = talpen_synth.generate_frames(WORKED_SPEC)
    b = talpen_synth.generate_frames(WORKED_SPEC)
    a.candles.loc[0, "close"] = -1.0
    a.book.loc[0, "side"] = "ask"
    assert b.candles["close"][0] == 99.83153469 and b.book["side"][0] == "bid"


def test_write_parquet(tmp_path):
    paths = talpen_synth.write_parquet(WORKED_SPEC, tmp_path / "new" / "dir", compression="zstd")
    assert [p.name for p in paths] == [f"{n}.parquet" for n in TABLE_NAMES]
    for path, table in zip(paths, talpen_synth.to_arrow(WORKED_SPEC)):
        # Parquet keeps times in milliseconds; the values are the same.
        assert pq.read_table(path).cast(table.schema).equals(table)


# --- optional dependencies ------------------------------------------------


@pytest.mark.parametrize("run, missing", [
    ("generate_arrays", "numpy"), ("generate_frames", "pandas"), ("to_arrow", "pyarrow"),
    ("write_parquet", "pyarrow"),
])
def test_a_missing_extra_is_named(monkeypatch, tmp_path, run, missing):
    monkeypatch.setitem(sys.modules, missing, None)
    args = (tmp_path,) if run == "write_parquet" else ()
    with pytest.raises(ImportError, match=re.escape("pip install 'talpen_synth[frames]'")):
        getattr(talpen_synth, run)(WORKED_SPEC, *args)


def test_the_package_imports_and_runs_without_the_extras():
    code = textwrap.dedent("""
        import sys
        for name in ("numpy", "pandas", "pyarrow", "tqdm"):
            sys.modules[name] = None
        import talpen_synth
        tables = talpen_synth.generate_columns('%s')
        print(tables.book.num_rows, sorted(m for m in ("numpy", "pandas", "pyarrow") if sys.modules[m]))
    """) % json.dumps(WORKED_SPEC)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["12", "[]"]


@pytest.mark.parametrize("call", [
    lambda n: list(talpen_synth.iter_batches(WORKED_SPEC, bars_per_batch=n)),
    lambda n: talpen_synth.table_stream(WORKED_SPEC, "book", bars_per_batch=n),
    lambda n: talpen_synth.write_parquet(WORKED_SPEC, "unused", bars_per_chunk=n),
])
@pytest.mark.parametrize("n, error", [(-1, ValueError), (0, ValueError), (1.5, TypeError), (True, TypeError)])
def test_a_chunk_size_is_a_whole_number_from_one(call, n, error):
    # A native cursor reads the count as unsigned: -1 was one chunk of the whole run.
    with pytest.raises(error, match="bars_per_"):
        call(n)


def test_write_parquet_removes_what_a_killed_writer_left(tmp_path):
    (tmp_path / ".book.parquet.partial-999999999").write_bytes(b"cut short")
    with pytest.warns(RuntimeWarning, match="process 999999999, which was stopped"):
        talpen_synth.write_parquet(WORKED_SPEC, tmp_path, bars_per_chunk=np.int64(2))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"{t}.parquet" for t in TABLE_NAMES)


def test_arrow_and_parquet_output_leave_pandas_unimported(tmp_path):
    # pandas costs a fifth of a second to import: every fresh dataset worker
    # and command-line run would pay it for output that never uses it.
    code = textwrap.dedent("""
        import sys, talpen_synth
        talpen_synth.write_parquet('%s', sys.argv[1])
        talpen_synth.to_arrow('%s')
        print("pandas" in sys.modules)
    """) % (json.dumps(WORKED_SPEC), json.dumps(WORKED_SPEC))
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "out")], capture_output=True, text=True,
                         check=True)
    assert out.stdout.split() == ["False"]


# --- threads and the interpreter lock -------------------------------------


def largest_gap(run) -> tuple[float, float]:
    """Runs `run` on a thread while this thread counts; returns the longest
    stretch during the run in which this thread did nothing, and the run's
    duration."""
    window = {}

    def worker():
        window["start"] = time.perf_counter()
        run()
        window["end"] = time.perf_counter()

    marks = []
    t = threading.Thread(target=worker)
    t.start()
    while t.is_alive():
        marks.append(time.perf_counter())
    t.join()
    start, end = window["start"], window["end"]
    inside = [start] + [m for m in marks if start < m < end] + [end]
    return max(b - a for a, b in zip(inside, inside[1:])), end - start


def test_a_python_thread_runs_while_a_run_is_in_native_code():
    text = json.dumps(big_spec(200_000))
    gap, duration = largest_gap(lambda: _talpen_columns.generate(text))
    assert duration > 0.05
    assert gap < 0.5 * duration
    # The check sees a held lock: the command path keeps it for its whole run.
    synth_gap, synth_duration = largest_gap(lambda: Synth(text).command('{"cmd":"generate"}'))
    assert synth_gap > 0.5 * synth_duration


def test_runs_on_many_threads_give_the_serial_results():
    specs = [json.dumps({**big_spec(3000), "seed": s}) for s in range(6)]
    serial = [talpen_synth.generate_arrays(s) for s in specs]
    results = [None] * len(specs)

    def work(i):
        results[i] = talpen_synth.generate_arrays(specs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(specs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for want, got in zip(serial, results):
        for w, g in zip(want, got):
            assert all(np.array_equal(w[k].view(np.uint8), g[k].view(np.uint8)) for k in w)


# --- exhausted memory -----------------------------------------------------


@pytest.mark.skipif(not ALLOCATION_FAILURES_RAISE, reason="AddressSanitizer aborts on allocations it cannot serve")
@pytest.mark.parametrize("depth", [2**32, 2**40, 2**62])
def test_an_impossible_book_raises_memory_error(depth):
    spec = json.dumps(make_spec(microstructure=micro(book_depth=depth)))
    for _ in range(2):
        with pytest.raises(MemoryError):
            _talpen_columns.generate(spec)
    assert len(_talpen_columns.generate(json.dumps(WORKED_SPEC))[0]) == 3


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's shadow memory defeats an address-space limit")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit via /proc")
def test_runs_under_a_memory_limit_succeed_or_raise_memory_error():
    # Growing runs under a tight address-space limit run out at different
    # points (the run's records, each table's columns): each must either
    # finish or raise MemoryError, and the process must carry on.
    code = inspect.getsource(big_spec) + textwrap.dedent("""
        import json, resource
        from talpen_synth import _talpen_columns
        size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:"))
        limit = size * 1024 + 160 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
        outcomes = []
        for bars in (1000, 20000, 60000, 120000, 200000, 400000, 1600000):
            try:
                _talpen_columns.generate(json.dumps(big_spec(bars)))
                outcomes.append("ok")
            except MemoryError:
                outcomes.append("memory")
        _talpen_columns.generate(json.dumps(big_spec(1000)))
        print(json.dumps(outcomes))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    outcomes = json.loads(out.stdout)
    assert outcomes[0] == "ok" and outcomes[-1] == "memory"
