"""Counter-based random numbers: sample n of a stream is a pure function of (seed, stream, n).

A counter-based SplitMix64, all arithmetic on unsigned 64-bit integers modulo
2^64, so another implementation can reproduce it bit for bit::

    G = 0x9E3779B97F4A7C15
    mix(z):  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
             z = (z ^ (z >> 27)) * 0x94D049BB133111EB
             return z ^ (z >> 31)
    key(seed, stream) = mix(mix(seed) ^ stream)
    bits(seed, stream, n) = mix(key + (n + 1)·G)          n-th output, n >= 0
    normal(seed, stream, k):              a ziggurat of 128 layers of equal area v
        a = bits(.., k);  u = (a >> 11)·2^-52 - 1 in [-1, 1);  i = a & 127
        if |u| < x[i+1]/x[i]: return u·x[i]                                 (98.8 %)
        else further words w_j = mix(mix(key ^ 0xD1B54A32D192ED03) + (64k + j)·G),
        j = 1, 2, ..., U(w) = (w >> 11)·2^-53, for at most 30 rounds (0 after):
          i = 0:  t = -log(1 - U)/r, y = -log(1 - U'); if 2y >= t² return ±(r + t)
                  (the sign of u), else another round
          i > 0:  X = u·x[i]; if f[i] + U·(f[i+1] - f[i]) < exp(-X²/2) return X;
                  else (u, i) from the next word as above: |u| < x[i+1]/x[i] returns
                  u·x[i], else another round
    with r = 3.442619855899, v = 9.91256303526217e-3, f(x) = exp(-x²/2), and
        x[0] = v/f(r), x[1] = r, x[i] = sqrt(-2·log(v/x[i-1] + f(x[i-1]))) for
        i = 2..127, x[128] = 0, f[i] = f(x[i])     (C doubles, in that order)

Sample k of stream e is a pure function of (seed, e, k).  The stream of an
element is the 64-bit FNV-1a hash of its lower-case name (UTF-8), so adding
or reordering other elements leaves its noise unchanged.  The layers and the
rare rest use the C library's exp and log (Python's math module), exactly
what the compiled loop (transient/waveform.hpp) gets on the same platform,
and the NumPy version (:func:`normals`) takes the rest from the scalar one:
all three give the same bits.
"""
from __future__ import annotations

import math

import numpy as np

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
_M1 = 0xBF58476D1CE4E5B9
_M2 = 0x94D049BB133111EB
_TWO_M53 = 2.0 ** -53
_FNV_OFFSET = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3


def mix64(z: int) -> int:
    """SplitMix64 finalizer."""
    z = ((z ^ (z >> 30)) * _M1) & MASK
    z = ((z ^ (z >> 27)) * _M2) & MASK
    return z ^ (z >> 31)


def stream_id(name: str) -> int:
    """FNV-1a (64 bit) of the lower-case name: the noise stream of an element."""
    h = _FNV_OFFSET
    for byte in name.lower().encode("utf-8"):
        h = ((h ^ byte) * _FNV_PRIME) & MASK
    return h


def stream_key(seed: int, stream: int) -> int:
    return mix64(mix64(seed & MASK) ^ (stream & MASK))


def bits(seed: int, stream: int, n: int) -> int:
    """The n-th 64-bit output of stream ``stream`` under ``seed``."""
    return mix64((stream_key(seed, stream) + (n + 1) * GOLDEN) & MASK)


def uniform(seed: int, stream: int, n: int) -> float:
    """The n-th uniform in [0, 1) of a stream."""
    return (bits(seed, stream, n) >> 11) * _TWO_M53


_LAYERS = 128
_TAIL = 3.442619855899
_AREA = 9.91256303526217e-3
_EXTRA = 0xD1B54A32D192ED03
_TWO_M52 = 2.0 ** -52


def _ziggurat() -> tuple[list[float], list[float], list[float]]:
    """Half-widths x, ratios x[i+1]/x[i] and heights f of the layers, as transient/waveform.hpp makes them."""
    x = [0.0] * (_LAYERS + 1)
    x[0] = _AREA / math.exp(-0.5 * _TAIL * _TAIL)
    x[1] = _TAIL
    for i in range(2, _LAYERS):
        x[i] = math.sqrt(-2.0 * math.log(_AREA / x[i - 1] + math.exp(-0.5 * x[i - 1] * x[i - 1])))
    ratio = [x[i + 1] / x[i] for i in range(_LAYERS)]
    f = [math.exp(-0.5 * v * v) for v in x]
    return x, ratio, f


_X, _RATIO, _F = _ziggurat()
_X_ARRAY, _RATIO_ARRAY = np.array(_X), np.array(_RATIO)


def _rest(key: int, k: int, u: float, i: int) -> float:
    """The rare rest of a sample: the tail beyond r or a wedge test (see the module's docstring)."""
    extra = mix64(key ^ _EXTRA)
    n = (k << 6) & MASK

    def word() -> int:
        nonlocal n
        n = (n + 1) & MASK
        return mix64((extra + n * GOLDEN) & MASK)

    def unit() -> float:
        return (word() >> 11) * _TWO_M53

    for _ in range(30):
        if i == 0:
            tail = -math.log(1.0 - unit()) / _TAIL
            y = -math.log(1.0 - unit())
            if y + y >= tail * tail:
                return -(_TAIL + tail) if u < 0.0 else _TAIL + tail
            continue
        candidate = u * _X[i]
        if _F[i] + unit() * (_F[i + 1] - _F[i]) < math.exp(-0.5 * candidate * candidate):
            return candidate
        a = word()
        u = (a >> 11) * _TWO_M52 - 1.0
        i = a & 127
        if abs(u) < _RATIO[i]:
            return u * _X[i]
    return 0.0


def _normal(key: int, k: int) -> float:
    a = mix64((key + (k + 1) * GOLDEN) & MASK)
    u = (a >> 11) * _TWO_M52 - 1.0
    i = a & 127
    if abs(u) < _RATIO[i]:
        return u * _X[i]
    return _rest(key, k, u, i)


def normal(seed: int, stream: int, k: int) -> float:
    """Standard-normal sample k of a stream (k >= 0)."""
    return _normal(stream_key(seed, stream), k)


def _mix64_array(z: np.ndarray) -> np.ndarray:
    z = (z ^ (z >> np.uint64(30))) * np.uint64(_M1)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(_M2)
    return z ^ (z >> np.uint64(31))


def normals(seed: int, stream: int, ks: np.ndarray) -> np.ndarray:
    """Samples ``ks`` (non-negative integers) of a stream at once: :func:`normal`'s bits, with NumPy."""
    key = stream_key(seed, stream)
    ks = np.asarray(ks, dtype=np.uint64)
    with np.errstate(over="ignore"):
        a = _mix64_array(np.uint64(key) + (ks + np.uint64(1)) * np.uint64(GOLDEN))
    u = (a >> np.uint64(11)).astype(np.float64) * _TWO_M52 - 1.0
    i = (a & np.uint64(127)).astype(np.intp)
    z = u * _X_ARRAY[i]
    for j in np.flatnonzero(~(np.abs(u) < _RATIO_ARRAY[i])):  # 1.2 %: one at a time
        z.flat[j] = _rest(key, int(ks.flat[j]), float(u.flat[j]), int(i.flat[j]))
    return z
