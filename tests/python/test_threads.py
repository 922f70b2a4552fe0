"""Handles under threads: many threads with their own handles at once, misuse
from foreign threads in the middle of correct use, and handles released on
threads that do not own them."""

from __future__ import annotations

import gc
import json
import sys
import threading

import pytest

from talpen_synth import Synth

from conftest import WORKED_SPEC, cmd, envelope, make_spec

VERSION_DOC = '{"version":"0.1.4"}'
SENT = "_talpen_synth::PySynth is unsendable, but sent to another thread"
DROPPED = "_talpen_synth::PySynth is unsendable, but is being dropped on another thread"
OTHER = make_spec(seed=9, bars=2, regimes=[{"kind": "vol", "len": 2, "drift": 0.0, "vol": 0.02}])

# A mixed script of good and bad commands, run in this order on a handle made
# from WORKED_SPEC; the answers depend only on the script.
SCRIPT = [
    cmd("version"),
    cmd("generate"),
    "not json",
    cmd("set_spec", spec=make_spec(bars=0)),
    cmd("generate_stream"),
    cmd("generate", spec=OTHER),
    cmd("set_spec", spec=OTHER),
    cmd("generate"),
    '{"cmd":"nope"}',
    cmd("set_spec", spec=WORKED_SPEC),
    cmd("generate_stream"),
]


def expected_answers():
    h = Synth(json.dumps(WORKED_SPEC))
    return [h.command(text) for text in SCRIPT]


@pytest.fixture(autouse=True)
def fast_switching():
    """Threads hand over the interpreter lock as often as it allows, so that
    their calls interleave as finely as possible."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


class Unraisable:
    """Collects sys.unraisablehook reports, from any thread, while active. The
    cycle collector is off meanwhile: it runs on whichever thread allocates,
    and would drop other tests' handles on the threads started here."""

    def __enter__(self):
        gc.collect()
        self._gc_was_enabled = gc.isenabled()
        gc.disable()
        self.seen = []
        self._lock = threading.Lock()
        self._saved = sys.unraisablehook

        def hook(u):
            with self._lock:
                self.seen.append((u.exc_type, str(u.exc_value)))

        sys.unraisablehook = hook
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self._saved
        if self._gc_was_enabled:
            gc.enable()


def run_threads(targets):
    """Starts every target at once; re-raises the first failure."""
    errors = []
    start = threading.Barrier(len(targets))

    def wrap(fn):
        def run():
            start.wait()
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_many_threads_with_their_own_handles():
    expected = expected_answers()

    def worker():
        handles = [Synth(json.dumps(WORKED_SPEC)) for _ in range(3)]
        for _ in range(15):
            for h in handles:
                assert [h.command(text) for text in SCRIPT] == expected

    with Unraisable() as hook:
        run_threads([worker] * 8)
    assert hook.seen == []


def is_panic(e: BaseException) -> bool:
    return type(e).__name__ == "PanicException" and SENT in str(e)


def test_foreign_threads_panic_while_the_owner_works():
    expected = expected_answers()
    h = Synth(json.dumps(WORKED_SPEC))
    stop = threading.Event()
    panics = []

    def intruder():
        while not stop.is_set():
            for text in (cmd("version"), cmd("generate"), "not json", cmd("set_spec", spec=OTHER)):
                try:
                    h.command(text)
                except BaseException as e:  # noqa: BLE001
                    panics.append(is_panic(e))
                else:
                    panics.append(False)

    def owner_and_stop():
        try:
            for _ in range(40):
                assert [h.command(text) for text in SCRIPT] == expected
        finally:
            stop.set()

    intruders = [threading.Thread(target=intruder) for _ in range(3)]
    for t in intruders:
        t.start()
    try:
        owner_and_stop()
    finally:
        stop.set()
        for t in intruders:
            t.join()
    assert panics and all(panics)
    # The intruders changed nothing: the owner's spec is the one it set last.
    assert h.command(cmd("generate")) == expected[1]


class Intrude(type):
    """A type whose __qualname__ lookup, made while the handle is in use to
    word a TypeError, has another thread try the same handle."""

    handle = None
    seen: list = []

    def __getattribute__(cls, name):
        if name != "__qualname__":
            return super().__getattribute__(name)
        box = []

        def run():
            try:
                box.append(Intrude.handle.command(cmd("version")))
            except BaseException as e:  # noqa: BLE001
                box.append(e)

        t = threading.Thread(target=run)
        t.start()
        t.join()
        Intrude.seen.append(box[0])
        return "Odd"


class Odd(metaclass=Intrude):
    pass


def test_thread_check_comes_before_the_in_use_check():
    h = Synth(json.dumps(WORKED_SPEC))
    Intrude.handle, Intrude.seen = h, []
    try:
        with pytest.raises(TypeError, match="'Odd' object is not an instance of 'str'"):
            h.command(Odd())
    finally:
        Intrude.handle = None
    # A foreign thread is told the handle is not its own, not "Already borrowed".
    (e,) = Intrude.seen
    assert is_panic(e)
    assert h.command(cmd("version")) == VERSION_DOC


def test_handles_of_ended_threads_stay_theirs():
    # Identifiers are never reused, unlike the system's thread numbers: a new
    # thread never passes as the ended one that made the handle.
    box = []
    t = threading.Thread(target=lambda: box.append(Synth(json.dumps(WORKED_SPEC))))
    t.start()
    t.join()
    results = []

    def use():
        try:
            box[0].command(cmd("version"))
        except BaseException as e:  # noqa: BLE001
            results.append(is_panic(e))

    with Unraisable() as hook:
        for _ in range(50):
            t = threading.Thread(target=use)
            t.start()
            t.join()
        box.clear()  # dropped here, on the main thread
    assert results == [True] * 50
    assert hook.seen == [(RuntimeError, DROPPED)]


def test_handles_released_on_foreign_threads_are_reported_not_freed():
    made_per_thread = 40
    handed_over = []
    lock = threading.Lock()

    def maker():
        mine = []
        for i in range(made_per_thread):
            h = Synth(json.dumps(WORKED_SPEC) if i % 2 else "")
            h.command(cmd("generate"))
            mine.append(h)
        del h  # the list holds the only references
        with lock:
            handed_over.append(mine)

    def dropper():
        # Waits for another thread's handles and lets go of them here.
        while True:
            with lock:
                if handed_over:
                    batch = handed_over.pop()
                    break
        batch.clear()

    with Unraisable() as hook:
        run_threads([maker] * 4 + [dropper] * 4)
        # Their makers have ended: the main thread is foreign to all of them.
        assert handed_over == []
    assert hook.seen == [(RuntimeError, DROPPED)] * (4 * made_per_thread)


def test_owner_keeps_working_through_foreign_drops_and_panics():
    expected = expected_answers()
    h = Synth(json.dumps(WORKED_SPEC))
    foreign = []
    panics = []

    def other_thread():
        foreign.append(Synth(json.dumps(OTHER)))
        try:
            h.command(cmd("generate"))
        except BaseException as e:  # noqa: BLE001
            panics.append(is_panic(e))

    with Unraisable() as hook:
        for _ in range(10):
            t = threading.Thread(target=other_thread)
            t.start()
            assert [h.command(text) for text in SCRIPT] == expected
            t.join()
        foreign.clear()
    assert hook.seen == [(RuntimeError, DROPPED)] * 10
    assert panics == [True] * 10
    assert h.command(cmd("set_spec", spec=make_spec(bars=0))) == envelope("bad spec: bars must be > 0")
