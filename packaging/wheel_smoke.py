"""A short check of an installed wheel: import, update a stream, predict, in both element types.

Run by check_wheel_under_qemu.sh under emulated CPUs; exits non-zero on any failure.
"""

import numpy as np

import quillfen
from quillfen import NativeCpuEngine


def check(dtype: str) -> None:
    rng = np.random.default_rng(7)
    truth = np.array([1.5, -2.0, 0.0, 0.75])
    for penalty in ("none", "l1"):
        engine = NativeCpuEngine(dtype, truth.size)
        for _ in range(3):
            x = np.column_stack([rng.standard_normal((4000, truth.size - 1)), np.ones(4000)])
            y = x @ truth + 0.3 * rng.standard_t(3, 4000)
            x, y = x.astype(dtype), y.astype(dtype)
            result = engine.update(
                x, y, None, batch_weight=4000.0, n_features_in=truth.size - 1,
                fit_intercept=True, tau=1.345, penalty=penalty, lambda_scale=0.05,
                bandwidth_scale=1.0, max_iter=50, tol=1e-6, ridge=1e-8,
            )  # fmt: skip
        error = np.max(np.abs(result["coefficients"] - truth))
        assert error < 0.05, (dtype, penalty, result["coefficients"])
        predicted = engine.predict(x[:100])
        expected = x[:100].astype(np.float64) @ result["coefficients"].astype(np.float64)
        assert np.allclose(predicted, expected, rtol=1e-4, atol=1e-4), (dtype, penalty)
        print(f"{dtype} {penalty}: coefficients {np.round(result['coefficients'], 3)}")


if __name__ == "__main__":
    print("quillfen", quillfen.version())
    for dtype in ("float64", "float32"):
        check(dtype)
    print("wheel check passed")
