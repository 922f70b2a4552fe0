"""Fitted specs and regime models: the kinds' maximum-likelihood fits, round
trips through runs of known specs, schedules drawn from a model, and the
out-of-sample check on real market history (which records what the model
cannot reproduce)."""

from __future__ import annotations

import json

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("ruptures")
pytest.importorskip("statsmodels")

from talpen_synth import Synth, generate_frames  # noqa: E402
from talpen_synth import kinds  # noqa: E402
from talpen_synth.fit import RegimeModel, fit_spec, sample_spec  # noqa: E402
from talpen_synth.history import DataError  # noqa: E402
from talpen_synth.holdout import holdout_check  # noqa: E402

MICRO = {"book_depth": 3, "spread_bps": 2.0, "trade_rate": 2.0}


def run_spec(regimes, seed, **micro):
    return {"seed": seed, "bars": sum(r["len"] for r in regimes), "start_price": 100.0, "start_ts": 1_700_000_000,
            "bar_secs": 3600, "regimes": regimes, "microstructure": {**MICRO, **micro}}


def per_bar(regimes, key):
    return np.concatenate([[r[key]] * r["len"] for r in regimes])


@pytest.mark.parametrize("kind, drift, vol", [
    ("trend", 0.002, 0.01), ("range", 0.08, 0.004), ("crash", 0.001, 0.01), ("vol", 0.0, 0.008)])
def test_each_kind_is_recovered_from_its_own_run(kind, drift, vol):
    # (A crash of 2000 bars takes the price from 100 to about 0.005.)
    spec = run_spec([{"kind": kind, "len": 2000, "drift": drift, "vol": vol}], seed=11)
    candles = generate_frames(spec).candles
    h = np.log(candles["close"].to_numpy() / candles["open"].to_numpy())
    fits = kinds.fit_all(h)
    assert kinds.best_fit(fits, np.log(h.size)).kind == kind
    assert fits[kind].vol == pytest.approx(vol, rel=0.05)
    assert fits[kind].drift == pytest.approx(drift, rel=0.25, abs=1e-4)
    z = kinds.shocks(fits[kind], h)  # the shocks the run drew, back again
    assert abs(z.mean()) < 0.05 and z.std() == pytest.approx(1.0, abs=0.05)


# Four regimes, one of each kind, each strong enough for its kind to be told.
KNOWN = [{"kind": "trend", "len": 400, "drift": 0.002, "vol": 0.01},
         {"kind": "range", "len": 300, "drift": 0.08, "vol": 0.004},
         {"kind": "crash", "len": 150, "drift": 0.003, "vol": 0.02},
         {"kind": "vol", "len": 650, "drift": 0.0, "vol": 0.008}]


def test_fitting_runs_of_a_known_spec_recovers_vol_and_kind():
    # Bands: each bar's fitted vol within 15% of its regime's, as the median
    # over bars; its fitted kind right for most bars (over half in every run,
    # nine in ten in the typical one).
    accuracy = []
    for seed in range(6):
        tables = generate_frames(run_spec(KNOWN, seed, funding={"interval_bars": 8, "base_rate": 1e-4,
                                                                "sensitivity": 0.5}))
        result = fit_spec(tables.candles, book=tables.book, trades=tables.trades, funding=tables.funding)
        fitted = result.spec["regimes"]
        Synth(json.dumps(result.spec))  # validates
        error = np.median(np.abs(per_bar(fitted, "vol") / per_bar(KNOWN, "vol") - 1))
        assert error <= 0.15, (seed, fitted)
        accuracy.append(np.mean(per_bar(fitted, "kind") == per_bar(KNOWN, "kind")))
        assert accuracy[-1] > 0.5, (seed, fitted)
        micro = result.spec["microstructure"]
        assert micro["book_depth"] == 3
        assert micro["spread_bps"] == pytest.approx(2.0, rel=0.05)
        assert micro["trade_rate"] == pytest.approx(2.0, rel=0.1)
        assert micro["funding"] == {"interval_bars": 8, "base_rate": pytest.approx(1e-4, rel=1e-3),
                                    "sensitivity": pytest.approx(0.5, rel=1e-3)}
    assert np.median(accuracy) >= 0.9


def test_the_number_of_regimes_is_capped_and_penalised():
    candles = generate_frames(run_spec(KNOWN, 1)).candles
    assert len(fit_spec(candles).segments) == 4
    assert len(fit_spec(candles, max_regimes=2).segments) == 2
    assert len(fit_spec(candles, penalty=1000.0).segments) == 1
    assert min(s.bars for s in fit_spec(candles, max_regimes=20, penalty=0.0, min_bars=100).segments) >= 100


def test_out_of_sample_on_a_known_history():
    # A history that repeats four regimes: fitted on its first half, 20
    # sampled runs hold to the second half within the bands: standard
    # deviation 15%, excess kurtosis 1.0, lag-1 autocorrelation of absolute
    # returns 0.1 (medians over the runs).
    pattern = [{"kind": "vol", "len": 300, "drift": 0.0, "vol": 0.006},
               {"kind": "trend", "len": 250, "drift": 0.001, "vol": 0.01},
               {"kind": "range", "len": 250, "drift": 0.05, "vol": 0.007},
               {"kind": "crash", "len": 100, "drift": 0.001, "vol": 0.006}]
    for seed in (0, 4):
        result = holdout_check(generate_frames(run_spec(pattern * 4, seed)).candles, seeds=range(20))
        assert result.misses == [], result.table()


# What the model cannot reproduce in real markets, as found by
# holdout_check(first half fitted, 20 seeds against the second half):
# property -> the miss (relative for std, absolute otherwise), recorded.
REAL_FINDINGS = {
    # Daily bars 2004-2013: the first half holds 2008, so the samples are
    # wilder than the calmer second half; fat tails (kurtosis 6.6) come from
    # within-regime clustering and jumps the normal shocks lack.
    "GOOG": {"std": 0.25, "excess_kurtosis": -5.86},
    # Hourly bars 2017-2018: regimes of similar vol, so nothing of the
    # intraday and news-driven clustering survives (acf 0.14 against 0.01).
    "EURUSD": {"excess_kurtosis": -12.7, "acf_abs_returns lag 1": -0.135},
}


@pytest.mark.parametrize("name", REAL_FINDINGS)
def test_real_history_out_of_sample_findings(name):
    test_data = pytest.importorskip("backtesting.test")
    result = holdout_check(getattr(test_data, name), label=name)
    print(result.table())
    # The recorded misses, each within a tenth of its recorded size (or 0.02),
    # and every other property inside its band.
    found = {c.name: c.miss for c in result.checks if not c.within}
    assert set(found) == set(REAL_FINDINGS[name]), result.table()
    for prop, miss in REAL_FINDINGS[name].items():
        assert found[prop] == pytest.approx(miss, rel=0.1, abs=0.02), result.table()


# --- Regime models and sampled schedules --------------------------------------------------------------------

@pytest.fixture(scope="module")
def model() -> RegimeModel:
    return fit_spec(generate_frames(run_spec(KNOWN * 2, 3)).candles).model


def test_sampled_specs_are_new_schedules_deterministic_in_the_seed(model):
    specs = [sample_spec(model, seed, 2000) for seed in range(10)]
    assert sample_spec(model, 4, 2000) == specs[4]
    assert len({json.dumps(s["regimes"]) for s in specs}) == 10
    for seed, spec in enumerate(specs):
        Synth(json.dumps(spec))  # validates
        assert spec["seed"] == seed and sum(r["len"] for r in spec["regimes"]) == 2000
        for r in spec["regimes"]:
            km = model.kinds[r["kind"]]
            assert (r["drift"], r["vol"]) in [(d, v) for d, v, _ in km.regimes]
        assert all(r["len"] >= model.kinds[r["kind"]].min_bars for r in spec["regimes"][:-1])
    # The model round-trips through its JSON form.
    again = RegimeModel.from_json(json.loads(json.dumps(model.to_json())))
    assert sample_spec(again, 4, 2000) == specs[4]
    # Starts where the fitted history ended.
    assert specs[0]["start_ts"] == 1_700_000_000 + 3000 * 3600


def test_sampled_schedules_follow_the_model_laws(model):
    # Over many seeds: regime lengths (all but the last, which is cut) average
    # each kind's mean duration, and successors follow the transition rows.
    lengths: dict[str, list[int]] = {k: [] for k in model.kinds}
    moves: dict[str, dict[str, int]] = {a: {b: 0 for b in model.kinds} for a in model.kinds}
    for seed in range(400):
        regimes = sample_spec(model, seed, 20_000)["regimes"]
        for r in regimes[:-1]:
            lengths[r["kind"]].append(r["len"])
        for a, b in zip(regimes, regimes[1:]):
            moves[a["kind"]][b["kind"]] += 1
    for kind, km in model.kinds.items():
        assert np.mean(lengths[kind]) == pytest.approx(km.mean_bars, rel=0.05), kind
        total = sum(moves[kind].values())
        for other, p in model.transitions[kind].items():
            assert moves[kind][other] / total == pytest.approx(p / sum(model.transitions[kind].values()),
                                                               abs=0.03), (kind, other)


def test_a_history_too_short_to_cut_is_one_regime(tmp_path):
    candles = generate_frames(run_spec([{"kind": "vol", "len": 30, "drift": 0.0, "vol": 0.01}], 2)).candles
    candles.to_parquet(tmp_path / "short.parquet")
    result = fit_spec(tmp_path / "short.parquet")
    assert [s.bars for s in result.segments] == [30] and result.spec["bars"] == 30
    assert sample_spec(result.model, 1)["regimes"][0]["kind"] == result.segments[0].fit.kind


@pytest.mark.parametrize("change, message", [
    (lambda d: d.update(model="other"), "not a regime model"),
    (lambda d: d["kinds"].update(storm=d["kinds"]["vol"]), "kinds.storm: not a regime kind"),
    (lambda d: d["kinds"]["vol"]["regimes"][0].update(vol=-1), "kinds.vol.regimes[0].vol: expected a number"),
    (lambda d: d["kinds"]["vol"]["regimes"][0].pop("drift"), "kinds.vol.regimes[0].drift: missing"),
    (lambda d: d["transitions"].pop("crash"), "transitions.crash: missing"),
    (lambda d: d["transitions"]["trend"].update(vol="x"), "transitions.trend.vol: expected a finite number"),
    (lambda d: d.update(initial={k: 0 for k in d["initial"]}), "initial: expected probabilities"),
    (lambda d: d.update(bar_secs=0), "bar_secs: expected a whole number of at least 1"),
])
def test_bad_models_name_the_field(model, change, message):
    doc = json.loads(json.dumps(model.to_json()))
    change(doc)
    with pytest.raises(DataError, match="^m.json: ") as e:
        RegimeModel.from_json(doc, "m.json")
    assert message in str(e.value)
