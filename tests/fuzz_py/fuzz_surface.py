"""Structured fuzzing of talpen_synth's Python surface with atheris.

Each input drives one short session: a handle is made from a spec text (a valid
skeleton with mutated fields, values, types and shapes, or raw text), then a few
command documents, built the same way or taken raw, are sent to it. After every
call the harness checks what the surface promises:

* a call returns JSON text of one of the documented shapes, or raises one of
  the documented exceptions (ValueError "parse: "/"bad spec: " from the
  constructor; TypeError; UnicodeEncodeError; MemoryError);
* a successful answer fits the command that asked for it;
* the handle keeps answering "version", and its spec is the one it had before
  every command except a successful "set_spec" (compared through a "generate"
  of that spec, which the documents keep tiny);
* a spec text that the constructor accepts is accepted by "set_spec" too and
  yields the same run, and one that it refuses on a rule is refused with the
  same rule's message.

Run:
    python fuzz_surface.py [libFuzzer flags] [corpus dirs]
    python fuzz_surface.py --write-seeds DIR   # the seed corpus
"""

from __future__ import annotations

import collections
import ctypes
import json
import os
import re
import resource
import sys

import atheris

# How commands ended, shown every 20000 inputs with TALPEN_FUZZ_STATS=1: a
# check that the documents reach every kind of answer.
STATS = collections.Counter()
SHOW_STATS = os.environ.get("TALPEN_FUZZ_STATS") == "1"
Synth = None  # bound by the first input (see bind_module)


def bind_module():
    """Imports the module once the fuzzer runs. atheris loads its libFuzzer
    only then; its symbols are made global first, so that an extension built
    with sanitizer coverage (found first on PYTHONPATH) links its counters to
    it and native coverage guides the mutations too."""
    global Synth
    here = os.path.dirname(atheris.__file__)
    for name in os.listdir(here):
        if name.startswith("core_with_libfuzzer"):
            try:
                ctypes.CDLL(os.path.join(here, name), mode=os.RTLD_NOLOAD | os.RTLD_GLOBAL)
            except OSError:
                pass  # not loaded: libFuzzer came from elsewhere
    from talpen_synth._talpen_synth import Synth as synth_class
    Synth = synth_class
    atheris.UpdateCounterArrays()


VERSION = '{"cmd":"version"}'
GENERATE = '{"cmd":"generate"}'
VERSION_DOC = '{"version":"0.1.4"}'
OK_DOC = '{"ok":true}'
PREFIXES = ("parse: ", "bad spec: ", "numeric: ")

# Valid runs stay this small so that one execution takes well under a
# millisecond; larger counts appear only as values whose storage can never be
# had (MemoryError at once) or that break a rule.
MAX_BARS = 8
MAX_DEPTH = 4
MAX_RATE = 6.0
HUGE_COUNTS = [2**32, 2**40, 2**62, 2**63 - 1, 2**64 - 1]
# Of the address space: a huge count's reservation fails here even where the
# kernel would grant it and let a later touch kill the process.
ADDRESS_SPACE_LIMIT = 3 << 30

KINDS = ["trend", "range", "crash", "vol"]
WHITE = [" ", "\t", "\n", "\r", "\u00a0", "\u3000", "\u2028", "\ufeff", "\x0b", "\x00"]


class Raw(str):
    """Text emitted as it stands: numbers JSON can hold but Python cannot
    write (1e400, -0, 2^64), broken or deeply nested fragments."""


class Obj(list):
    """An object as a list of (key, value) pairs: keeps order and lets a key
    repeat."""


# --- values ----------------------------------------------------------------

EDGE_INTS = [0, 1, -1, 2**31, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**30]
EDGE_FLOATS = [0.0, -0.0, 0.5, -0.5, 10.0, 1e3, 1e308, -1e308, 5e-324, 2.2250738585072014e-308, 3000.0,
               float("nan"), float("inf")]
RAW_NUMBERS = ["1e400", "-1e400", "1e-400", "-0", "-0.0", "1E+2", "1e2", "10.0", "0.1e1", "01", "1.", ".5",
               "+1", "-", "1e", "18446744073709551616", "-9223372036854775809", "9223372036854775808",
               "1" * 40, "0." + "0" * 30 + "1", "1e2147483648", "1e-2147483649", "NaN", "Infinity",
               "-Infinity"]
TEXTS = ["", "trend", "Trend", "vol ", "\u00e9", "\ud800", "\udc00", "\ud83d\ude00", "a\"b\\c", "\x00",
         "\x1f", "\u2028", "\uffff", "seed", "bars", "spec", "cmd", "generate"]


def any_text(fdp, max_len=12):
    if fdp.ConsumeBool():
        return fdp.PickValueInList(TEXTS)
    # May hold lone surrogates: written escaped they are a reader error,
    # written raw they are the interpreter's encoding error.
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, max_len))


def tame(n):
    """Keeps an integer small or huge: a middling count (a book_depth of a
    few million, say) makes a valid run that takes seconds."""
    return n % 1000 if 1000 < abs(n) < 2**32 else n


MIDDLING_DIGITS = re.compile(r"(?<![0-9])[0-9]{4,9}(?![0-9])")


def tame_text(text):
    """The same for raw text: a run of 4 to 9 digits keeps its first 3."""
    return MIDDLING_DIGITS.sub(lambda m: m.group()[:3], text)


def any_number(fdp):
    pick = fdp.ConsumeIntInRange(0, 5)
    if pick == 0:
        return fdp.PickValueInList(EDGE_INTS)
    if pick == 1:
        return fdp.PickValueInList(EDGE_FLOATS)
    if pick == 2:
        return Raw(fdp.PickValueInList(RAW_NUMBERS))
    if pick == 3:
        return tame(fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 9)))
    if pick == 4:
        return fdp.ConsumeFloat()
    return fdp.ConsumeIntInRange(0, 10)


def any_value(fdp, depth=0):
    pick = fdp.ConsumeIntInRange(0, 9)
    if pick == 0:
        return None
    if pick == 1:
        return fdp.ConsumeBool()
    if pick in (2, 3):
        return any_number(fdp)
    if pick == 4:
        return any_text(fdp)
    if pick == 5 and depth < 4:
        return [any_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if pick == 6 and depth < 4:
        return Obj((any_text(fdp, 6), any_value(fdp, depth + 1)) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    if pick == 7:
        # Around the reader's nesting budget of 128.
        n = fdp.PickValueInList([126, 127, 128, 129, 300])
        opener = fdp.PickValueInList(["[", '{"a":'])
        closer = "]" if opener == "[" else "}"
        return Raw(opener * n + ("1" if fdp.ConsumeBool() else "") + closer * n)
    if pick == 8:
        return Raw(fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8)))
    return fdp.ConsumeIntInRange(0, 3)


# --- specs -----------------------------------------------------------------

NORMAL, OMIT, REPLACE, EDGE = "normal", "omit", "replace", "edge"


def fate(fdp):
    """What happens to one field: mostly nothing (an exhausted input always
    gives a valid document)."""
    n = fdp.ConsumeIntInRange(0, 23)
    if n < 20:
        return NORMAL
    return (OMIT, REPLACE, EDGE, EDGE)[n - 20]


def count_edge(fdp):
    return fdp.PickValueInList([0, -1, 1.0, 10.0, "3", None, 2**64, -(2**63)] + HUGE_COUNTS)


def field(fdp, record, key, normal, edge):
    """Appends `key` to `record` as `normal`, or mutated."""
    what = fate(fdp)
    if what == OMIT:
        return
    if what == REPLACE:
        record.append((key, any_value(fdp)))
    elif what == EDGE:
        record.append((key, edge(fdp)))
    else:
        record.append((key, normal))


def finish_record(fdp, record):
    """Unknown members, repeated keys, shuffled order, or the array form."""
    if fdp.ConsumeIntInRange(0, 15) == 15:
        record.append((any_text(fdp, 6), any_value(fdp)))
    if fdp.ConsumeIntInRange(0, 15) == 15 and record:
        key, _ = record[fdp.ConsumeIntInRange(0, len(record) - 1)]
        record.append((key, any_value(fdp)))
    form = fdp.ConsumeIntInRange(0, 15)
    if form == 13 and len(record) > 1:
        i = fdp.ConsumeIntInRange(0, len(record) - 1)
        record.insert(0, record.pop(i))
    if form == 14:
        return [value for _, value in record]
    if form == 15:
        values = [value for _, value in record]
        return values[: fdp.ConsumeIntInRange(0, len(values))] + (
            [any_value(fdp)] if fdp.ConsumeBool() else [])
    return record


def kind_value(fdp, kind):
    form = fdp.ConsumeIntInRange(0, 15)
    if form < 11:
        return kind
    if form < 14:
        return Obj([(kind, None)])
    return fdp.PickValueInList([kind.upper(), Obj([(kind, 1)]), Obj([(kind, None), ("vol", None)]), Obj(),
                                "", 2, None, [kind], Obj([("Trend", None)])])


def regime_doc(fdp, length):
    r = Obj()
    field(fdp, r, "kind", kind_value(fdp, fdp.PickValueInList(KINDS)), lambda f: any_text(f))
    field(fdp, r, "len", length, count_edge)
    field(fdp, r, "drift", fdp.PickValueInList([0.0, 0.001, -0.002, 0.5, 2.0]), lambda f: any_number(f))
    field(fdp, r, "vol", fdp.PickValueInList([0.0, 0.01, 0.02, 0.3, 3000.0]), lambda f: any_number(f))
    return finish_record(fdp, r)


def funding_doc(fdp, bars):
    f = Obj()
    field(fdp, f, "interval_bars", fdp.ConsumeIntInRange(1, bars + 1), count_edge)
    field(fdp, f, "base_rate", fdp.PickValueInList([0.0, 0.0001, -0.01]), lambda f: any_number(f))
    field(fdp, f, "sensitivity", fdp.PickValueInList([0.0, 0.5, -3.0]), lambda f: any_number(f))
    return finish_record(fdp, f)


def micro_doc(fdp, bars):
    m = Obj()
    field(fdp, m, "book_depth", fdp.ConsumeIntInRange(1, MAX_DEPTH), count_edge)
    field(fdp, m, "spread_bps", fdp.PickValueInList([5.0, 0.0, 12.5, 100]), lambda f: any_number(f))
    field(fdp, m, "trade_rate", fdp.ConsumeFloatInRange(0.0, MAX_RATE), lambda f: any_number(f))
    funding = fdp.ConsumeIntInRange(0, 3)
    if funding == 1:
        m.append(("funding", funding_doc(fdp, bars)))
    elif funding == 2:
        m.append(("funding", None))
    return finish_record(fdp, m)


def spec_doc(fdp):
    """A valid spec of at most MAX_BARS bars, unless the fuzzer mutates it."""
    bars = fdp.ConsumeIntInRange(1, MAX_BARS)
    cuts = sorted({fdp.ConsumeIntInRange(1, bars) for _ in range(fdp.ConsumeIntInRange(0, 2))} | {bars})
    lengths = [b - a for a, b in zip([0] + cuts, cuts)]
    s = Obj()
    field(fdp, s, "seed", fdp.ConsumeIntInRange(0, 2**64 - 1), lambda f: f.PickValueInList(EDGE_INTS))
    field(fdp, s, "bars", bars, count_edge)
    field(fdp, s, "start_price", fdp.PickValueInList([100.0, 1.0, 1e-300, 65000.5, 3]),
          lambda f: any_number(f))
    if fdp.ConsumeBool():
        field(fdp, s, "start_ts", fdp.PickValueInList([1700000000, 0, -(2**63), -5]),
              lambda f: f.PickValueInList(EDGE_INTS))
    if fdp.ConsumeBool():
        field(fdp, s, "bar_secs", fdp.PickValueInList([3600, 1, 60]), lambda f: f.PickValueInList(EDGE_INTS))
    field(fdp, s, "regimes", [regime_doc(fdp, n) for n in lengths], lambda f: any_value(f))
    field(fdp, s, "microstructure", micro_doc(fdp, bars), lambda f: any_value(f))
    return finish_record(fdp, s)


# --- commands --------------------------------------------------------------

def command_doc(fdp):
    c = Obj()
    pick = fdp.ConsumeIntInRange(0, 11)
    if pick < 8:
        c.append(("cmd", ["version", "set_spec", "generate", "generate_stream"][pick % 4]))
    elif pick == 8:
        c.append(("cmd", fdp.PickValueInList(["VERSION", "generate ", "", "set-spec",
                                              "generate_stream\x00"])))
    elif pick == 9:
        c.append(("cmd", any_value(fdp)))
    elif pick == 10:
        c.append(("cmd", "generate"))
        c.append(("cmd", fdp.PickValueInList(["version", "set_spec", "nope"])))
    spec = fdp.ConsumeIntInRange(0, 7)
    if spec in (1, 2, 3, 4):
        c.append(("spec", spec_doc(fdp)))
    elif spec == 5:
        c.append(("spec", any_value(fdp)))
    elif spec == 6:
        c.append(("spec", emit(spec_doc(fdp), True, "")))  # spec text inside a string
    if fdp.ConsumeIntInRange(0, 7) == 7:
        c.append((any_text(fdp, 6), any_value(fdp)))
    if fdp.ConsumeIntInRange(0, 7) == 7:
        c.reverse()
    return c


# --- writing ---------------------------------------------------------------

def emit(value, ascii_only, space):
    """JSON text of a document tree; `space` goes after every , and :."""
    if isinstance(value, Raw):
        return str(value)
    if value is None or isinstance(value, (bool, int, float, str)):
        return json.dumps(value, ensure_ascii=ascii_only)
    if isinstance(value, Obj):
        members = (json.dumps(k, ensure_ascii=ascii_only) + ":" + space + emit(v, ascii_only, space)
                   for k, v in value)
        return "{" + ("," + space).join(members) + "}"
    return "[" + ("," + space).join(emit(v, ascii_only, space) for v in value) + "]"


def write(fdp, doc):
    """The document as text, written in one of several styles and now and then
    damaged. Returns (text, damaged)."""
    ascii_only = fdp.ConsumeIntInRange(0, 3) != 0
    space = fdp.PickValueInList(["", "", " ", "\n", "\t \r\n"])
    text = emit(doc, ascii_only, space)
    damage = fdp.ConsumeIntInRange(0, 15)
    if damage < 11 or not text:
        return text, False
    at = fdp.ConsumeIntInRange(0, len(text))
    if damage == 11:
        text = text[:at]
    elif damage == 12:
        text = text[:at] + any_text(fdp, 2) + text[at:]
    elif damage == 13:
        text = text[:at] + text[at + 1:]
    elif damage == 14:
        text = fdp.PickValueInList(WHITE) + text + fdp.PickValueInList(WHITE)
    else:
        text += fdp.PickValueInList([" x", ",", "}", "]", "\x00", "{}"])
    return text, True


# --- checking answers ------------------------------------------------------

class Fault(AssertionError):
    pass


def expect(condition, what, *context):
    if not condition:
        raise Fault(what + "".join("\n  " + repr(c)[:2000] for c in context))


def _no_constant(name):
    raise ValueError("not JSON: " + name)


def _unique_pairs(pairs):
    keys = [k for k, _ in pairs]
    if len(set(keys)) != len(keys):
        raise ValueError("repeated key")
    return dict(pairs)


def load(text):
    return json.loads(text, parse_constant=_no_constant, object_pairs_hook=_unique_pairs)


def is_num(v, nullable):
    return (isinstance(v, float) and v == v) or (nullable and v is None)


def check_record(kind, rec, context):
    if kind == "candle":
        expect(list(rec) == ["ts", "open", "high", "low", "close", "volume"], "candle keys", rec, *context)
        expect(type(rec["ts"]) is int and all(is_num(rec[k], False) for k in list(rec)[1:]), "candle values",
               rec, *context)
    elif kind == "snapshot":
        expect(list(rec) == ["ts", "bids", "asks"] and type(rec["ts"]) is int, "snapshot keys", rec, *context)
        expect(len(rec["bids"]) == len(rec["asks"]) >= 1, "book sides", rec, *context)
        for level in rec["bids"] + rec["asks"]:
            expect(list(level) == ["price", "qty"] and all(is_num(x, True) for x in level.values()), "level",
                   level, *context)
    elif kind == "trade":
        expect(list(rec) == ["ts", "seq", "price", "qty", "side"], "trade keys", rec, *context)
        expect(type(rec["ts"]) is int and type(rec["seq"]) is int and rec["side"] in ("buy", "sell")
               and is_num(rec["price"], True) and is_num(rec["qty"], False), "trade values", rec, *context)
    else:
        expect(list(rec) == ["ts", "rate"] and type(rec["ts"]) is int and is_num(rec["rate"], True),
               "funding point", rec, *context)


STREAM_KEYS = {"candle": "candle", "book": "snapshot", "trade": "trade", "funding": "sample"}
BATCH_KINDS = {"candles": "candle", "book_snapshots": "snapshot", "trades": "trade", "funding": "funding"}


def answer_kind(text, context):
    """Checks an answer's shape; returns "version", "ok", "error", "generate"
    or "stream"."""
    expect(isinstance(text, str), "answer is not a str", text, *context)
    try:
        doc = load(text)
    except ValueError as e:
        raise Fault(f"answer is not strict JSON ({e})\n  {text[:2000]!r}\n  {context!r}") from None
    expect(isinstance(doc, dict), "answer is not an object", text, *context)
    keys = list(doc)
    if keys == ["version"]:
        expect(text == VERSION_DOC, "version answer", text, *context)
        return "version"
    if keys == ["ok"]:
        expect(text == OK_DOC, "ok answer", text, *context)
        return "ok"
    if keys == ["ok", "error"]:
        expect(doc["ok"] is False and isinstance(doc["error"], str) and doc["error"].startswith(PREFIXES),
               "error envelope", text, *context)
        return "error"
    if keys == ["events"]:
        expect(len(doc["events"]) >= 2, "stream without events", text, *context)
        for event in doc["events"]:
            expect(len(event) == 2 and list(event)[0] == "type" and event["type"] in STREAM_KEYS
                   and list(event)[1] == STREAM_KEYS[event["type"]], "stream event", event, *context)
            check_record(STREAM_KEYS[event["type"]], event[STREAM_KEYS[event["type"]]], context)
        return "stream"
    batch_keys = ["candles", "book_snapshots", "trades"]
    expect(keys in (batch_keys, batch_keys + ["funding"]), "unknown answer", text, *context)
    expect(len(doc["candles"]) == len(doc["book_snapshots"]) >= 1, "batch bar counts", text, *context)
    expect("funding" not in doc or doc["funding"], "empty funding member", text, *context)
    for key, records in doc.items():
        for rec in records:
            check_record(BATCH_KINDS[key], rec, context)
    return "generate"


SUCCESS_OF = {"version": "version", "set_spec": "ok", "generate": "generate", "generate_stream": "stream"}


def command_name(text):
    """The command that a text names, read by Python's own reader; None when
    it cannot tell."""
    try:
        doc = json.loads(text)
    except (ValueError, RecursionError):
        return None
    if isinstance(doc, dict) and isinstance(doc.get("cmd"), str):
        return doc["cmd"]
    return None


# --- one session -----------------------------------------------------------

def answer_or_memory_error(handle, text):
    """A spec may be valid and too large to run: MemoryError is its answer."""
    try:
        return handle.command(text)
    except MemoryError:
        return "MemoryError"


class Session:
    def __init__(self, handle):
        self.handle = handle
        self.baseline = self.run(GENERATE)

    def run(self, text):
        return answer_or_memory_error(self.handle, text)

    def command(self, arg, context):
        """Sends one command and checks the answer and the handle after it."""
        try:
            answer = self.handle.command(arg)
        except MemoryError:
            kind = "memory"
        except UnicodeEncodeError:
            expect(isinstance(arg, str), "encoding error for a non-str", arg, *context)
            kind = "encode"
        except TypeError as e:
            expect(not isinstance(arg, str), "TypeError for a str", arg, e, *context)
            kind = "type"
        else:
            kind = answer_kind(answer, context)
            if kind != "error":
                name = command_name(arg)
                expect(name is not None and SUCCESS_OF.get(name) == kind,
                       "answer does not fit its command", arg, answer[:300], *context)
        STATS[kind if kind != "error" else "error " + json.loads(answer)["error"].split(":")[0]] += 1
        if kind == "ok":
            self.baseline = self.run(GENERATE)
        else:
            expect(self.run(GENERATE) == self.baseline, "a failed command changed the handle's spec",
                   arg, kind, *context)
        expect(self.run(VERSION) == VERSION_DOC, "handle stopped answering version", arg, *context)
        return answer if kind in ("ok", "error", "version", "generate", "stream") else None


def construct(arg, context):
    """Synth(arg): the handle, or None after a documented refusal."""
    try:
        return Synth(arg)
    except UnicodeEncodeError:
        expect(isinstance(arg, str), "encoding error for a non-str", arg, *context)
    except ValueError as e:
        expect(isinstance(arg, str) and str(e).startswith(("parse: ", "bad spec: ")),
               "constructor ValueError", arg, str(e), *context)
        return str(e)
    except TypeError as e:
        expect(not isinstance(arg, str), "constructor TypeError for a str", arg, e, *context)
    except MemoryError:
        pass
    return None


class Text(str):
    """A str subclass: accepted exactly like str."""


def odd_argument(fdp):
    return fdp.PickValueInList([None, 3, b'{"cmd":"version"}', 1.5, ["x"], Text(VERSION), Text(GENERATE)])


def cross_check_spec(text, made, context):
    """A spec text that the constructor reads must read the same as the
    "spec" member of "set_spec"."""
    if made is None or (isinstance(made, str) and not made.startswith("bad spec: ")):
        return
    if text.strip(" \t\r\n") in ("", "{}"):
        return  # a handle without spec, not a spec
    h = Synth("")
    answer = h.command('{"cmd":"set_spec","spec":' + text + "}")
    if isinstance(made, str):
        expect(answer == json.dumps({"ok": False, "error": made}, separators=(",", ":"), ensure_ascii=False),
               "set_spec refused the spec differently", text, made, answer, *context)
    else:
        expect(answer == OK_DOC, "set_spec refused a spec the constructor took", text, answer, *context)
        expect(answer_or_memory_error(h, GENERATE) == answer_or_memory_error(made, GENERATE),
               "the two readings run differently", text,
               *context)


def test_one_input(data):
    if Synth is None:
        bind_module()
    STATS["inputs"] += 1
    if SHOW_STATS and STATS["inputs"] % 20000 == 0:
        print("outcomes:", dict(STATS.most_common()), file=sys.stderr, flush=True)
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 7)
    errors = "replace" if fdp.ConsumeIntInRange(0, 3) else "surrogateescape"
    if mode in (6, 7):
        # Raw text: a spec text for the constructor (6) or a command (7).
        text = tame_text(fdp.ConsumeBytes(atheris.ALL_REMAINING).decode("utf-8", errors))
        context = ("raw", mode)
        if mode == 6:
            made = construct(text, context)
            if isinstance(made, Synth):
                Session(made).command(GENERATE, context)
            return
        session = Session(Synth(""))
        session.command(text, context)
        session.handle.command(json.dumps({"cmd": "set_spec", "spec": SMALL_SPEC}))
        session = Session(session.handle)
        session.command(text, context)
        return

    # Structured: a constructor text, then commands.
    context = ["structured"]
    start = fdp.ConsumeIntInRange(0, 7)
    if start == 5:
        arg, damaged = fdp.PickValueInList(["", "{}", " {} ", "\u00a0{}\u3000", "{ }"]), True
    elif start == 6:
        arg, damaged = odd_argument(fdp), True
    else:
        arg, damaged = write(fdp, spec_doc(fdp))
    context.append(arg)
    made = construct(arg, context)
    if not damaged and isinstance(arg, str):
        cross_check_spec(arg, made, context)
    session = Session(made if isinstance(made, Synth) else Synth(""))
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        if fdp.ConsumeIntInRange(0, 31) == 31:
            text = odd_argument(fdp)
        else:
            text, _ = write(fdp, command_doc(fdp))
        session.command(text, context)


SMALL_SPEC = {
    "seed": 7, "bars": 3, "start_price": 100.0,
    "regimes": [{"kind": "trend", "len": 2, "drift": 0.001, "vol": 0.01},
                {"kind": "crash", "len": 1, "drift": 0.01, "vol": 0.02}],
    "microstructure": {"book_depth": 2, "spread_bps": 5.0, "trade_rate": 2.0,
                       "funding": {"interval_bars": 2, "base_rate": 0.0001, "sensitivity": 0.5}},
}


def seeds():
    """The seed corpus: raw texts of valid and broken specs and commands, and
    structured inputs (an empty input is the unmutated skeleton)."""
    spec = json.dumps(SMALL_SPEC)
    spec_array = json.dumps([7, 3, 100.0, 1700000000, 60, [["trend", 3, 0.0, 0.01]], [1, 5.0, 1.0, None]])
    commands = [VERSION, GENERATE, '{"cmd":"generate_stream"}',
                '{"cmd":"set_spec","spec":' + spec + "}",
                '{"cmd":"generate","spec":' + spec_array + "}",
                '{"cmd":"generate_stream","spec":' + spec + "}",
                '{"cmd":"set_spec"}', '{"cmd":"nope"}', '{"cmd":"version"} x', "[" * 200, "",
                '{"cmd":"generate","cmd":"version"}',
                '{"cmd":"set_spec","spec":"' + spec.replace('"', '\\"') + '"}']
    specs = [spec, spec_array, "", "{}", "{ }", "\u00a0" + spec, spec + " x", spec.replace("100.0", "1e400"),
             spec.replace('"bars": 3', '"bars": 0'), spec.replace("trend", "Trend")]
    out = {}
    for i, text in enumerate(commands):
        out[f"raw_command_{i:02d}"] = text.encode() + bytes([0, 7])
    for i, text in enumerate(specs):
        out[f"raw_spec_{i:02d}"] = text.encode() + bytes([0, 6])
    out["structured_empty"] = b""
    for i in range(8):
        out[f"structured_{i}"] = bytes((i * 37 + k * 11) % 256 for k in range(64 + 32 * i))
    return out


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--write-seeds":
        os.makedirs(sys.argv[2], exist_ok=True)
        for name, data in seeds().items():
            with open(os.path.join(sys.argv[2], name), "wb") as f:
                f.write(data)
        return
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, resource.getrlimit(resource.RLIMIT_AS)[1]))
    # Coverage of the harness's own branches (which shapes were built, which
    # answers came back) guides the mutations.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
