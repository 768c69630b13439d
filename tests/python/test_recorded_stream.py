"""Every value a float64 stream reports is bit for bit the one recorded before the kernels' speed
work: coefficients, information, diagnostics and predictions, for narrow, medium and wide
designs, both penalties, with and without sample weights, on every kernel target this CPU runs.

Re-record (only when a float64 change is intended) with `python tests/python/recorded_stream.py
--record`.
"""

import json

import numpy as np
import pytest
from recorded_stream import FIXTURE, values_under
from test_kernel_targets import runnable_targets


def recorded_values(target):
    with np.load(FIXTURE) as recorded:
        prefix = f"{target}|"
        return {
            key.removeprefix(prefix): json.loads(str(recorded[key]))
            for key in recorded.files
            if key.startswith(prefix)
        }


@pytest.mark.parametrize("target", runnable_targets())
def test_float64_stream_is_bit_identical_to_the_recording(target):
    expected = recorded_values(target)
    assert expected, f"nothing recorded for {target}"
    actual = values_under(target)
    assert actual.keys() == expected.keys()
    differing = [key for key in expected if actual[key] != expected[key]]
    assert differing == []
