"""Sweeps: one spec over many seeds, or many specs, on threads, processes or a
Dask cluster. Each result must equal the single run of its spec; bad specs and
seeds must fail with the command's text; stopping early must stop the work."""

from __future__ import annotations

import concurrent.futures as cf
import json
import pickle
import sys
import threading

import numpy as np
import pytest

import talpen_synth
from talpen_synth import Synth, SweepResult, sweep

from conftest import WORKED_SPEC, make_spec


def same_tables(a, b) -> bool:
    return all(t1.keys() == t2.keys() and all(np.array_equal(t1[k].view(np.uint8), t2[k].view(np.uint8))
                                                for k in t1)
               for t1, t2 in zip(a, b))


def single_run(seed: int, spec=WORKED_SPEC):
    return talpen_synth.generate_arrays({**spec, "seed": seed})


def check_results(results, seeds):
    assert sorted(r.index for r in results) == list(range(len(seeds)))
    for r in results:
        assert r.seed == seeds[r.index]
        assert same_tables(r.tables, single_run(r.seed))


@pytest.mark.parametrize("spec", [WORKED_SPEC, json.dumps(WORKED_SPEC, indent=1)])
def test_seeds_on_the_default_thread_pool(spec):
    seeds = [0, 1, 2**64 - 1, np.uint64(5), 7, 7]
    results = list(sweep(spec, seeds, progress=False))
    check_results(results, [int(s) for s in seeds])
    assert all(isinstance(r, SweepResult) for r in results)


def test_seeds_from_a_lazy_iterable_on_one_thread():
    with cf.ThreadPoolExecutor(1) as pool:
        results = list(sweep(WORKED_SPEC, (s * 3 for s in range(4)), pool, progress=False))
    # Results come as they finish; two that are both done by the time the
    # consumer looks may come in either order, even on one worker.
    check_results(results, [0, 3, 6, 9])


def test_a_list_of_specs():
    keys = ["seed", "bars", "start_price", "start_ts", "bar_secs", "regimes", "microstructure"]
    specs = [WORKED_SPEC, json.dumps({**WORKED_SPEC, "seed": 9}),
             json.dumps([{**WORKED_SPEC, "seed": 11}[k] for k in keys])]
    results = sorted(sweep(specs, progress=False), key=lambda r: r.index)
    assert [(r.index, r.seed) for r in results] == [(0, 42), (1, 9), (2, 11)]
    for r in results:
        assert same_tables(r.tables, single_run(r.seed))


def test_seeds_replace_the_seed_of_an_array_form_text_keeping_every_value():
    # "-0" is a double to the spec reader (-0.0): the replacement must not
    # turn it into the integer 0.
    text = json.dumps(make_spec(regimes=[{"kind": "trend", "len": 1, "drift": 0.001, "vol": 0.01},
                                         {"kind": "range", "len": 2, "drift": 0.5, "vol": 0.02}]))
    text = text.replace('"drift": 0.001', '"drift": -0')
    assert '"drift": -0,' in text
    (result,) = sweep(text, [77], progress=False)
    want = talpen_synth.generate_arrays(text.replace('"seed": 42', '"seed": 77'))
    assert same_tables(result.tables, want)


@pytest.mark.parametrize("spec, seeds, error, message", [
    (make_spec(bars=0), [1], ValueError, "bad spec: bars must be > 0"),
    ("{", [1], ValueError, "parse: EOF while parsing an object at line 1 column 1"),
    ({}, [1], ValueError, "parse: missing field `seed`"),
    (WORKED_SPEC, None, TypeError, None),
    ([WORKED_SPEC], [1], TypeError, None),
])
def test_bad_arguments_fail_at_the_call(spec, seeds, error, message):
    with pytest.raises(error) as raised:
        sweep(spec, seeds)
    if message is not None:
        assert str(raised.value) == message


def command_error(spec) -> str:
    return json.loads(Synth("{}").command(json.dumps({"cmd": "generate", "spec": spec})))["error"]


@pytest.mark.parametrize("seeds, error", [([1, -1], ValueError), ([2**64], ValueError), ([1.0], TypeError)])
def test_bad_seeds_fail_before_their_run(seeds, error):
    it = sweep(WORKED_SPEC, seeds, progress=False)
    with pytest.raises(error) as raised:
        list(it)
    if error is ValueError:
        # The failing seed is named before the command's own text.
        message = command_error({**WORKED_SPEC, "seed": seeds[-1]})
        assert str(raised.value) == f"seed {seeds[-1]}: {message}"
        assert raised.value.failure.error == message and message.startswith("parse: invalid ")


def test_a_failing_run_raises_when_its_turn_comes():
    bad = make_spec(bars=1, regimes=[{"kind": "trend", "len": 1, "drift": 0.0, "vol": 3000.0}])
    with pytest.raises(ValueError, match=r"^spec 1 \(seed 42\): numeric: price walk produced a non-finite value$"):
        list(sweep([WORKED_SPEC, bad], progress=False))


class CountingExecutor(cf.ThreadPoolExecutor):
    def __init__(self, workers):
        super().__init__(workers)
        self.submitted = 0
        self.lock = threading.Lock()

    def submit(self, fn, /, *args, **kwargs):
        with self.lock:
            self.submitted += 1
        return super().submit(fn, *args, **kwargs)


def test_work_is_handed_out_a_window_ahead_and_stops_with_the_consumer():
    with CountingExecutor(2) as pool:
        it = sweep(WORKED_SPEC, range(10_000), pool, progress=False, max_pending=3)
        assert pool.submitted == 0  # nothing starts before the first result is asked for
        first = next(it)
        assert first.seed in range(10_000) and pool.submitted <= 6
        it.close()
        assert pool.submitted <= 6
    with pytest.raises(ValueError):
        sweep(WORKED_SPEC, [1], max_pending=0)


def test_results_pickle():
    (result,) = sweep(WORKED_SPEC, [3], progress=False)
    back = pickle.loads(pickle.dumps(result))
    assert back.index == 0 and back.seed == 3 and same_tables(back.tables, result.tables)


def test_a_process_pool():
    with cf.ProcessPoolExecutor(2) as pool:
        results = list(sweep(WORKED_SPEC, [5, 6, 7], pool, progress=False))
    check_results(results, [5, 6, 7])


def test_a_dask_cluster():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        results = list(sweep(WORKED_SPEC, [1, 2, 3, 4], client.get_executor(), progress=False))
    check_results(results, [1, 2, 3, 4])


# --- progress -------------------------------------------------------------


class Terminal:
    """A stand-in standard error that says it is a terminal."""

    def __init__(self):
        self.text = ""

    def isatty(self):
        return True

    def write(self, s):
        self.text += s

    def flush(self):
        pass


@pytest.mark.parametrize("progress, tty, shown", [
    (None, False, False), (None, True, True), (False, True, False), (True, False, True),
])
def test_progress_bar(monkeypatch, progress, tty, shown):
    pytest.importorskip("tqdm")
    stderr = Terminal() if tty else None
    if stderr is None:
        import io
        stderr = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    list(sweep(WORKED_SPEC, range(3), progress=progress))
    text = stderr.text if tty else stderr.getvalue()
    assert ("3/3" in text) == shown


def test_progress_without_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(sys, "stderr", Terminal())
    assert len(list(sweep(WORKED_SPEC, range(2)))) == 2  # no bar, no complaint
    with pytest.raises(ImportError, match=r"pip install 'talpen_synth\[progress\]'"):
        sweep(WORKED_SPEC, range(2), progress=True)
