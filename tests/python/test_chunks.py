"""A run by chunks (`_talpen_columns.Cursor`, `TableStream`): joined, the
chunks are the whole run's answers byte for byte and its tables value for
value, whatever the chunk size."""

from __future__ import annotations

import json
import random

import pytest

from talpen_synth import Synth, _talpen_columns as native

pa = pytest.importorskip("pyarrow")

KINDS = ("trend", "range", "crash", "vol")
TABLES = ("candles", "book", "trades", "funding")


def random_spec(rng: random.Random) -> str:
    bars = rng.randint(1, 40)
    regimes, left = [], bars
    while left:
        n = rng.randint(1, left)
        left -= n
        kind = rng.choice(KINDS)
        drift = rng.uniform(0, 0.4) if kind == "range" else rng.uniform(-0.3, 0.3)
        regimes.append({"kind": kind, "len": n, "drift": drift, "vol": rng.uniform(0, 0.1)})
    micro = {"book_depth": rng.randint(1, 4), "spread_bps": rng.uniform(0, 30),
             "trade_rate": rng.choice([0, rng.uniform(0, 6)])}
    if rng.random() < 0.5:
        micro["funding"] = {"interval_bars": rng.randint(1, 12), "base_rate": 1e-4, "sensitivity": rng.uniform(-1, 1)}
    return json.dumps({"seed": rng.randrange(2**64), "bars": bars, "start_price": 100.0,
                       "regimes": regimes, "microstructure": micro})


SPECS = [random_spec(random.Random(i)) for i in range(60)]


def joined(spec: str, chunk: int, take) -> str:
    cursor = native.Cursor(spec, chunk)
    parts = []
    while (part := take(cursor)) is not None:
        if part:
            parts.append(part.decode())
    return ",".join(parts)


@pytest.mark.parametrize("chunk", [1, 7, 1 << 40])
def test_chunks_join_into_the_whole_answers_and_tables(chunk):
    for spec in SPECS:
        synth = Synth(spec)
        lists = ("candles", "book_snapshots", "trades") + (("funding",) if native.Cursor(spec).has_funding else ())
        grouped = "{" + ",".join(f'"{k}":[' + joined(spec, chunk, lambda c, k=k: c.next_json(k)) + "]"
                                 for k in lists) + "}"
        assert grouped == synth.command('{"cmd":"generate"}'), spec
        events = '{"events":[' + joined(spec, chunk, lambda c: c.next_json("events")) + "]}"
        assert events == synth.command('{"cmd":"generate_stream"}'), spec
        whole = native.generate(spec)
        for i, name in enumerate(TABLES):
            assert pa.table(native.TableStream(spec, name, chunk)).equals(pa.table(whole[i])), (spec, name)


def chunk_parts(cursor, take) -> list:
    parts = []
    while (part := take(cursor)) is not None:
        parts.append(part)
    return parts


# A chunk for a table other than the book leaves the book's levels out: a
# cursor asked for another table each chunk must still lay them out for the
# book's chunks, and give every chunk as a cursor of one table does.
@pytest.mark.parametrize("order", [("candles", "book"), ("book", "trades", "funding")])
def test_a_cursor_switching_tables_gives_each_chunk_as_a_cursor_of_one(order):
    for spec in SPECS[:20]:
        cursor, turn = native.Cursor(spec, 3), iter(range(1 << 30))
        mixed = chunk_parts(cursor, lambda c: c.next_rows(order[next(turn) % len(order)], "csv"))
        alone = {t: chunk_parts(native.Cursor(spec, 3), lambda c, t=t: c.next_rows(t, "csv")) for t in order}
        assert mixed == [alone[order[k % len(order)]][k] for k in range(len(mixed))], spec


def rows(spec: str, chunk: int, table: str, fmt: str) -> list[str]:
    cursor = native.Cursor(spec, chunk)
    out = b""
    while (part := cursor.next_rows(table, fmt)) is not None:
        out += part
    return out.decode().splitlines()


def test_rows_carry_the_answers_numbers():
    spec = SPECS[3]
    answer = json.loads(Synth(spec).command('{"cmd":"generate"}'), parse_float=str, parse_int=str)
    assert rows(spec, 5, "trades", "csv") == [
        ",".join([t["ts"], t["seq"], t["price"], t["qty"], t["side"]]) for t in answer["trades"]]
    lines = rows(spec, 5, "candles", "jsonl")
    assert [json.loads(line, parse_float=str, parse_int=str) for line in lines] == answer["candles"]
    book = rows(spec, 5, "book", "csv")
    first = answer["book_snapshots"][0]
    assert book[0] == ",".join([first["ts"], "bid", "0", first["bids"][0]["price"], first["bids"][0]["qty"]])
    assert len(book) == sum(len(b["bids"]) + len(b["asks"]) for b in answer["book_snapshots"])


@pytest.mark.parametrize("args, message", [
    (("{}", 10), "parse: missing field"),
    ((SPECS[0], 0), "bars_per_chunk must be at least 1"),
])
def test_bad_cursors_are_refused(args, message):
    with pytest.raises(ValueError, match=message):
        native.Cursor(*args)


def test_a_cursor_reports_numeric_failure_and_ends():
    spec = json.dumps({"seed": 1, "bars": 3, "start_price": 100.0,
                       "regimes": [{"kind": "vol", "len": 2, "drift": 0, "vol": 0.01},
                                   {"kind": "trend", "len": 1, "drift": 800.0, "vol": 0}],
                       "microstructure": {"book_depth": 1, "spread_bps": 1.0, "trade_rate": 0}})
    cursor = native.Cursor(spec, 2)
    assert cursor.next_json("candles")
    with pytest.raises(ValueError, match="^numeric: price walk produced a non-finite value$"):
        cursor.next_json("candles")
    assert cursor.next_json("candles") is None
