"""Every code block of the README, run as a reader would paste it.

Python blocks run in a fresh interpreter in an empty directory; the command-line block runs in a
directory holding the files it names. Blocks of `make` commands are the project's own, which CI
runs; a block whose first line says "placeholder" stands for the reader's own files.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from conftest import UNDER_ADDRESS_SANITIZER

ROOT = Path(__file__).resolve().parents[2]
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.MULTILINE | re.DOTALL)


def readme_blocks(language):
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = [body for lang, body in BLOCK.findall(text) if lang == language]
    return [body for body in blocks if "placeholder" not in body.splitlines()[0].lower()]


def block_id(body):
    return body.strip().splitlines()[0][:40]


def is_make_block(body):
    commands = [line.strip() for line in body.splitlines()]
    return all(line.startswith("make ") for line in commands if line and not line.startswith("#"))


def run_in(directory, argv, timeout=300):
    env = dict(os.environ)
    # The interpreter's directory first, so that `quillfen` is this environment's command.
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
    return subprocess.run(
        argv, cwd=directory, env=env, capture_output=True, text=True, timeout=timeout
    )


@pytest.mark.parametrize("body", readme_blocks("python"), ids=block_id)
def test_python_block_runs(body, tmp_path):
    if UNDER_ADDRESS_SANITIZER and "LocalCluster" in body:
        pytest.skip("a local Dask cluster's worker processes are too slow under the sanitizer")
    done = run_in(tmp_path, [sys.executable, "-c", body])
    assert done.returncode == 0, done.stderr[-3000:]


def write_sales(path, rng, rows):
    price, qty = rng.uniform(1, 10, rows), rng.integers(1, 20, rows).astype(float)
    columns = {"price": price, "qty": qty, "w": rng.integers(1, 4, rows).astype(float)}
    columns.update(id=np.arange(rows), y=3.0 * price - 0.5 * qty + rng.standard_t(3, rows))
    path.parent.mkdir(parents=True, exist_ok=True)
    pq.write_table(pa.table(columns), path)


@pytest.mark.parametrize(
    "body", [b for b in readme_blocks("sh") if not is_make_block(b)], ids=block_id
)
def test_command_line_block_runs_on_files_it_names(body, tmp_path):
    rng = np.random.default_rng(3)
    for name in ("data/part-0.parquet", "data/part-1.parquet", "sales-1.parquet", "new/a.parquet"):
        write_sales(tmp_path / name, rng, 3000)
    done = run_in(tmp_path, ["bash", "-euo", "pipefail", "-c", body])
    assert done.returncode == 0, done.stderr[-3000:]
    for written in ("model.npz", "fit.png", "predictions.parquet"):
        assert (tmp_path / written).stat().st_size > 0, written
