"""The same stream gives the same bits on every kernel target the CPU can run.

The extension picks its kernels once per process, so each target runs in its own interpreter,
forced with the QUILLFEN_FORCE_TARGET debugging aid. Only the matrix product may differ between
targets: it feeds the information matrix, so the first l1 update (which never multiplies
matrices) and predictions from one fixed summary must match bit for bit, and a whole stream must
match closely.
"""

import json
from pathlib import Path

import numpy as np
import pytest

# The CPU flags each target needs beyond the one before it (as /proc/cpuinfo names them).
TARGET_FLAGS = {
    "x86-64-v2": {"sse4_2", "popcnt", "cx16", "ssse3"},
    "x86-64-v3": {"avx", "avx2", "fma", "bmi1", "bmi2", "f16c", "movbe", "abm"},
    "x86-64-v4": {"avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"},
}

STREAM = """
import json
import numpy as np
from quillfen import NativeCpuEngine

def run(dtype, penalty, rows, cols):
    rng = np.random.default_rng(rows + cols)
    engine = NativeCpuEngine(dtype, cols)
    first = None
    for batch in range(3):
        x = rng.standard_normal((rows, cols)).astype(dtype)
        x[:, -1] = 1
        y = (x @ np.linspace(-1, 1, cols) + rng.standard_t(3, rows)).astype(dtype)
        result = engine.update(
            x, y, None, batch_weight=float(rows), n_features_in=cols - 1, fit_intercept=True,
            tau=1.345, penalty=penalty, lambda_scale=0.5, bandwidth_scale=1.0, max_iter=50,
            tol=1e-6, ridge=1e-8)
        if first is None:
            first = [result["coefficients"].tobytes().hex(), result["objective"],
                     result["iterations"]]
    fixed = np.linspace(-2, 2, cols).astype(dtype)
    restored = NativeCpuEngine(dtype, cols)
    restored.restore(fixed, np.eye(cols, dtype=dtype), 1, 1, 0.0, 1.0)
    return {
        "first": first,
        "predictions": restored.predict(x).tobytes().hex(),
        "coefficients": engine.state()["coefficients"].astype(float).tolist(),
    }

cases = {}
for dtype in ("float64", "float32"):
    for penalty in ("none", "l1"):
        for rows, cols in ((500, 4), (20000, 60), (3000, 150)):
            cases[f"{dtype} {penalty} {rows}x{cols}"] = run(dtype, penalty, rows, cols)
print(json.dumps(cases))
"""


def runnable_targets() -> list[str]:
    """The targets this CPU runs, lowest first (only the baseline when the flags are unknown)."""
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return ["x86-64-v2"]
    flags_line = next((line for line in text.splitlines() if line.startswith("flags")), "")
    flags = set(flags_line.partition(":")[2].split())
    targets = []
    for target, needed in TARGET_FLAGS.items():
        if not needed <= flags:
            break
        targets.append(target)
    return targets or ["x86-64-v2"]


def test_every_target_gives_the_same_stream(python_subprocess):
    targets = runnable_targets()
    if len(targets) < 2:
        pytest.skip("this CPU runs only the baseline kernels")
    results = {}
    for target in targets:
        done = python_subprocess(STREAM, {"QUILLFEN_FORCE_TARGET": target})
        assert done.returncode == 0, done.stderr
        results[target] = json.loads(done.stdout)
    baseline = results[targets[0]]
    for target in targets[1:]:
        for case, expected in baseline.items():
            actual = results[target][case]
            if " l1 " in case:
                assert actual["first"] == expected["first"], (target, case)
            assert actual["predictions"] == expected["predictions"], (target, case)
            tolerance = 1e-3 if case.startswith("float32") else 1e-8
            np.testing.assert_allclose(
                actual["coefficients"],
                expected["coefficients"],
                rtol=tolerance,
                atol=tolerance,
            )
