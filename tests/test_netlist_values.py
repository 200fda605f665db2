"""SI numbers, engineering suffixes, expressions and waveforms."""
import math

import pytest

from kivrun.errors import ExpressionError
from kivrun.expressions import evaluate, parse_number
from kivrun.waveforms import PiecewiseLinear, Pulse, Sine


@pytest.mark.parametrize("text, value", [
    ("1", 1.0), ("2.5", 2.5), (".5", 0.5), ("1e-3", 1e-3), ("3E2", 300.0),
    ("1f", 1e-15), ("1p", 1e-12), ("1n", 1e-9), ("1u", 1e-6), ("1m", 1e-3),
    ("1k", 1e3), ("1meg", 1e6), ("1MEG", 1e6), ("1g", 1e9), ("1t", 1e12),
    ("0.07pF", 0.07e-12), ("151uA", 151e-6), ("2pH", 2e-12), ("2.8mV", 2.8e-3),
    ("5ohm", 5.0), ("10ps", 10e-12), ("1.5e-3meg", 1.5e3), ("3V", 3.0),
])
def test_numbers_with_suffix_and_unit(text, value):
    assert parse_number(text) == pytest.approx(value, rel=1e-12)
    assert evaluate(text, {}) == pytest.approx(value, rel=1e-12)


@pytest.mark.parametrize("text", ["abc", "1.2.3", "p1", "", "1_"])
def test_non_numbers(text):
    assert parse_number(text) is None


@pytest.mark.parametrize("text, value", [
    ("{2*a+1}", 7.0), ("'a/2'", 1.5), ("2^3^2", 512.0), ("2**3", 8.0), ("-2^2", -4.0),
    ("(a+1)*(a-1)", 8.0), ("sqrt(16)*1p", 4e-12), ("max(a, 5, 2)", 5.0),
    ("2*pi", 2 * math.pi), ("a*1u + 2u", 5e-6), ("LSTAGE/2", 1e-12), ("-a", -3.0), ("+-a", -3.0),
    ("1/4", 0.25),
])
def test_expressions(text, value):
    assert evaluate(text, {"a": 3.0, "lstage": 2e-12}) == pytest.approx(value)


@pytest.mark.parametrize("text, message, token", [
    ("b+1", "unknown parameter", "b"),
    ("2*(3", "incomplete expression", "2*(3"),
    ("2+", "incomplete expression", "2+"),
    ("foo(2)", "unknown function", "foo"),
    ("1/0", "division by zero", "1/0"),
    ("2 $ 3", "unexpected character", "$ 3"),
    ("sqrt(-1)", "invalid arguments", "sqrt"),
    ("(1))", "unexpected token", ")"),
])
def test_expression_errors_name_the_token(text, message, token):
    with pytest.raises(ExpressionError) as info:
        evaluate(text, {})
    assert message in info.value.message
    assert info.value.token == token


def test_no_code_execution():
    with pytest.raises(ExpressionError):
        evaluate("__import__('os')", {})


def test_pwl_holds_ends_and_interpolates():
    wave = PiecewiseLinear([10e-12, 20e-12, 30e-12], [0.0, 1.0, -1.0])
    assert wave.value(0.0) == 0.0
    assert wave.value(15e-12) == pytest.approx(0.5)
    assert wave.value(25e-12) == pytest.approx(0.0)
    assert wave.value(1.0) == -1.0
    assert wave.breakpoints(25e-12) == [10e-12, 20e-12]


def test_pulse_shape_and_repetition():
    wave = Pulse(0.0, 2.0, delay=5.0, rise=1.0, fall=2.0, width=3.0, period=10.0)
    samples = {4.9: 0.0, 5.5: 1.0, 7.0: 2.0, 9.0: 2.0, 10.0: 1.0, 11.5: 0.0, 15.5: 1.0, 17.0: 2.0}
    for t, v in samples.items():
        assert wave.value(t) == pytest.approx(v), t
    assert wave.breakpoints(16.0) == [5.0, 6.0, 9.0, 11.0, 15.0, 16.0]


def test_sine_with_delay_and_damping():
    wave = Sine(1.0, 2.0, 50.0, delay=0.1, damping=3.0)
    assert wave.value(0.05) == 1.0
    t = 0.1 + 0.005  # a quarter period after the delay
    assert wave.value(t) == pytest.approx(1.0 + 2.0 * math.exp(-3.0 * 0.005))
