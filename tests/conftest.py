"""What the tests share: the two flavours as named records, series on irregular grids, and
the bit-for-bit comparison most properties of the suite rest on."""

from __future__ import annotations

from typing import Any, Callable, NamedTuple

import numpy as np

import quelbrin


class Flavour(NamedTuple):
    """One element type of the module: the suffix of its functions and its dtype."""

    suffix: str
    dtype: type

    def fn(self, base: str) -> Callable[..., Any]:
        return getattr(quelbrin, base + self.suffix)

    @property
    def build_pb(self) -> Callable[..., Any]:
        return self.fn("build_pb")

    @property
    def solve(self) -> Callable[..., Any]:
        return self.fn("whittaker_solve")

    @property
    def robust(self) -> Callable[..., Any]:
        return self.fn("robust_whittaker_irls")


F64 = Flavour("_f64", np.float64)
F32 = Flavour("_f32", np.float32)
# For @pytest.mark.parametrize("suffix,dt", FLAVOURS) or ("flavour", FLAVOURS).
FLAVOURS = [F64, F32]


def irregular_grid(rng: np.random.Generator, T: int, spacing: tuple[float, float],
                   dtype: type) -> np.ndarray:
    """Strictly increasing positions with uniformly random spacings."""
    return np.cumsum(rng.uniform(spacing[0], spacing[1], T)).astype(dtype)


def noisy_series(rng: np.random.Generator, dtype: type, S: int, T: int, *,
                 spacing: tuple[float, float] = (0.5, 2.0), wave: Callable[..., Any] = np.sin,
                 period: float = 1.0, noise: float = 0.2) -> tuple[np.ndarray, np.ndarray]:
    """x on an irregular grid and S rows of wave(x / period) plus normal noise, both in
    dtype (the wave is taken of the rounded positions)."""
    x = irregular_grid(rng, T, spacing, dtype)
    y = (wave(x / period)[None, :] + rng.normal(0, noise, (S, T))).astype(dtype)
    return x, y


def bits(a: np.ndarray) -> tuple[Any, ...]:
    """What two arrays must share to be the same result: dtype, shape and every bit."""
    a = np.asarray(a)
    return a.dtype, a.shape, np.ascontiguousarray(a).tobytes()


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return bits(a) == bits(b)


def assert_same_bits(got: Any, ref: Any) -> None:
    """Results (an array, or a tuple of arrays and numbers) equal bit for bit."""
    got_parts = list(got) if isinstance(got, tuple) else [got]
    ref_parts = list(ref) if isinstance(ref, tuple) else [ref]
    assert len(got_parts) == len(ref_parts)
    for a, b in zip(got_parts, ref_parts):
        assert type(a) is type(b)
        if isinstance(b, np.ndarray):
            assert bits(a) == bits(b)
        else:
            assert a == b
