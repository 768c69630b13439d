"""A float64 stream whose every reported value is recorded in data/float64_stream.npz.

Run as a script under one kernel target (QUILLFEN_FORCE_TARGET) to print the stream's values as
one JSON object; `python recorded_stream.py --record` records them for every target this CPU
runs. Arrays of more than `INLINE_LIMIT` elements are kept as a SHA-256 of their bytes.
"""

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

FIXTURE = Path(__file__).parent / "data" / "float64_stream.npz"
TARGETS = ("x86-64-v2", "x86-64-v3", "x86-64-v4")
INLINE_LIMIT = 256
# (rows, columns incl. intercept, penalty, weighted): narrow, the narrow/medium edges, wide.
CASES = [
    (400, 8, "none", False),
    (400, 12, "l1", True),
    (600, 20, "none", True),
    (600, 20, "l1", False),
    (700, 50, "none", False),
    (700, 50, "l1", True),
    (900, 200, "none", False),
    (900, 200, "l1", False),
]


def encode(value):
    """A JSON form that keeps every bit: arrays as hex bytes or their digest, floats as hex."""
    if isinstance(value, np.ndarray):
        if value.size > INLINE_LIMIT:
            return "sha256:" + hashlib.sha256(value.tobytes()).hexdigest()
        return value.tobytes().hex()
    if isinstance(value, float):
        return value.hex()
    return value


def run_stream():
    from quillfen import NativeCpuEngine

    values = {}
    for rows, cols, penalty, weighted in CASES:
        name = f"{rows}x{cols} {penalty}{' weighted' if weighted else ''}"
        rng = np.random.default_rng(rows * 1000 + cols)
        truth = rng.uniform(-2.0, 2.0, cols)
        engine = NativeCpuEngine("float64", cols)
        for batch in range(3):
            x = rng.standard_normal((rows, cols))
            x[:, -1] = 1.0
            noise = rng.standard_normal(rows) / np.maximum(rng.random(rows), 0.05)
            y = x @ truth + noise
            weights = rng.uniform(0.5, 2.0, rows) if weighted else None
            result = engine.update(
                x,
                y,
                weights,
                batch_weight=float(rows),
                n_features_in=cols - 1,
                fit_intercept=True,
                tau=1.345,
                penalty=penalty,
                lambda_scale=0.5,
                bandwidth_scale=1.0,
                max_iter=50,
                tol=1e-8,
                ridge=1e-8,
            )
            for key, value in result.items():
                values[f"{name}/{batch}/{key}"] = encode(value)
            values[f"{name}/{batch}/predictions"] = encode(engine.predict(x))
        for key, value in engine.state().items():
            values[f"{name}/state/{key}"] = encode(value)
    return values


def values_under(target):
    """The stream's values in a fresh interpreter with the kernels of `target`."""
    env = dict(os.environ, QUILLFEN_FORCE_TARGET=target)
    done = subprocess.run(
        [sys.executable, __file__], env=env, capture_output=True, text=True, timeout=300, check=True
    )
    return json.loads(done.stdout)


def record(targets):
    recorded = {}
    for target in targets:
        for key, value in values_under(target).items():
            recorded[f"{target}|{key}"] = np.asarray(json.dumps(value))
    np.savez_compressed(FIXTURE, **recorded)


if __name__ == "__main__":
    if sys.argv[1:] == ["--record"]:
        record(TARGETS)
    else:
        print(json.dumps(run_stream()))
