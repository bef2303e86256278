"""Thresholds: bounds included, one step past a bound fails, and the failure lines say why."""

import math

import pytest

import quillet
from quillet._thresholds import THRESHOLD_FIGURES, Thresholds

FIGURES = {
    "ssim": 0.9731,
    "psnr": 41.25,
    "mse": 4.875,
    "max_diff": 3121.0,
    "psnr_rgb": 46.02,
    "ssim_rgb": 0.9918,
}
METRICS = quillet.Metrics(
    ssim=FIGURES["ssim"], psnr=FIGURES["psnr"], mse=FIGURES["mse"], max_diff=FIGURES["max_diff"]
)
WITHIN_BOUNDS = ("min_ssim", "min_psnr", "max_mse", "max_diff")


def _one_step_past(name: str, value: float) -> float:
    """The nearest bound that ``value`` no longer meets."""
    _, side = THRESHOLD_FIGURES[name]
    return math.nextafter(value, math.inf if side == "min" else -math.inf)


@pytest.mark.parametrize("name", WITHIN_BOUNDS)
def test_within_holds_exactly_at_each_bound_and_fails_one_step_past(name):
    value = FIGURES[THRESHOLD_FIGURES[name][0]]
    assert METRICS.within(**{name: value}) is True
    assert METRICS.within(**{name: _one_step_past(name, value)}) is False


@pytest.mark.parametrize("name", list(THRESHOLD_FIGURES))
def test_failures_name_the_figure_the_relation_and_the_option(name):
    figure, side = THRESHOLD_FIGURES[name]
    value = FIGURES[figure]
    assert Thresholds(**{name: value}).failures(FIGURES) == []
    past = _one_step_past(name, value)
    (line,) = Thresholds(**{name: past}).failures(FIGURES)
    relation = "<" if side == "min" else ">"
    option = "--" + name.replace("_", "-")
    assert line.startswith(f"{figure} ")
    assert line.endswith(f" {relation} {past!r} ({option})")
    # A figure one step past its bound must not print as the bound itself.
    shown_value = line.split(" ")[1]
    assert float(shown_value) != past


def test_failures_list_every_missed_bound_in_a_fixed_order_and_skip_the_held_ones():
    thresholds = Thresholds(max_diff=100, min_ssim=0.99, max_mse=10, min_psnr=40)
    assert thresholds.failures(METRICS) == [
        "ssim 0.9731 < 0.99 (--min-ssim)",
        "max_diff 3121 > 100 (--max-diff)",
    ]
    assert thresholds.hold(METRICS) is False


@pytest.mark.parametrize("name", WITHIN_BOUNDS)
def test_a_nan_figure_meets_no_bound(name):
    figures = dict(FIGURES, **{THRESHOLD_FIGURES[name][0]: math.nan})
    (line,) = Thresholds(**{name: 1.0}).failures(figures)
    assert " nan " in line


@pytest.mark.parametrize("bound", [math.nan, math.inf, -math.inf], ids=["nan", "inf", "-inf"])
def test_bounds_that_are_not_finite_are_refused(bound):
    with pytest.raises(ValueError, match="max_mse threshold must be a finite number"):
        Thresholds(max_mse=bound)
    with pytest.raises(ValueError, match="min_psnr threshold must be a finite number"):
        METRICS.within(min_psnr=bound)


@pytest.mark.parametrize("bound", [True, "40", [1.0]], ids=["bool", "str", "list"])
def test_bounds_that_are_not_numbers_are_refused(bound):
    with pytest.raises(TypeError, match="min_psnr threshold must be a number"):
        Thresholds(min_psnr=bound)


def test_a_bound_on_a_figure_the_values_lack_is_an_error_not_a_pass():
    with pytest.raises(ValueError, match="no psnr_rgb"):
        Thresholds(min_psnr_rgb=40).failures(METRICS)


def test_empty_thresholds_accept_anything_and_report_nothing_set():
    assert Thresholds().is_empty
    assert Thresholds().given() == {}
    assert Thresholds().failures({}) == []
    assert not Thresholds(max_diff=0).is_empty
    assert Thresholds(max_diff=0, min_ssim=1).given() == {"min_ssim": 1.0, "max_diff": 0.0}
