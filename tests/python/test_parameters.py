"""One parameter table: the estimator's signature, its docstring, its validation and the command
line's options all say what the table says."""

import argparse
import inspect
import re
from numbers import Integral, Real

import numpy as np
import pytest
from sklearn.utils._param_validation import validate_parameter_constraints
from sklearn.utils.estimator_checks import check_param_validation

from quillfen import StreamingHuberRegressor
from quillfen._parameters import HUBER_PARAMETERS, defaults
from quillfen.cli._estimator_options import add_estimator_options, estimator_parameters
from quillfen.cli._parser import build_parser

NAMES = [parameter.name for parameter in HUBER_PARAMETERS]
FLAGGED = [parameter for parameter in HUBER_PARAMETERS if parameter.flag]


def documented_parameters():
    """(name, type, default, description) of each entry of the docstring's Parameters section."""
    doc = inspect.getdoc(StreamingHuberRegressor)
    section = doc.split("Parameters\n----------\n")[1].split("\n\n")[0]
    entries = re.findall(r"^(\w+) : (.+), default=(.+)\n((?:    .+\n?)+)", section, re.MULTILINE)
    return [(name, kind, default, " ".join(text.split())) for name, kind, default, text in entries]


def test_signature_docstring_and_get_params_follow_the_table():
    signature = inspect.signature(StreamingHuberRegressor.__init__).parameters
    assert list(signature)[1:] == NAMES
    assert StreamingHuberRegressor().get_params() == defaults(HUBER_PARAMETERS)
    documented = documented_parameters()
    assert [entry[0] for entry in documented] == NAMES
    for (name, kind, default, text), parameter in zip(documented, HUBER_PARAMETERS, strict=True):
        assert (kind, text) == (parameter.type_doc, parameter.doc), name
        assert default.strip('"') == str(signature[name].default), name


def fit_args(*options):
    return build_parser().parse_args(
        ["fit", "data.csv", "--target", "y", "--out", "m.npz", *options]
    )


def test_the_command_line_sets_every_flagged_parameter_under_its_name():
    assert estimator_parameters(fit_args()) == {}
    options, expected = [], {}
    for parameter in FLAGGED:
        values = parameter.values
        if values.boolean:
            options.append(parameter.flag)
            expected[parameter.name] = not parameter.default
        else:
            value = values.options[-1] if values.number is None else 3
            options += [parameter.flag, str(value)]
            expected[parameter.name] = value
    given = estimator_parameters(fit_args(*options))
    assert given == expected
    assert StreamingHuberRegressor(**given).get_params() == {**defaults(HUBER_PARAMETERS), **given}
    parser = argparse.ArgumentParser(add_help=False)
    add_estimator_options(parser)
    assert {action.dest: action.help for action in parser._actions} == {
        parameter.name: parameter.help for parameter in FLAGGED
    }


@pytest.mark.parametrize(
    "flag, text, name, value, accepted",
    [
        ("--lambda-scale", "0", "lambda_scale", 0.0, True),
        ("--ridge", "0", "ridge", 0.0, True),
        ("--scale", "auto", "scale", "auto", True),
        ("--tau", "0", "tau", 0.0, False),
        ("--bandwidth-scale", "-1", "bandwidth_scale", -1.0, False),
        ("--tol", "inf", "tol", np.inf, False),
        ("--max-iter", "0", "max_iter", 0, False),
        ("--threads", "0", "n_threads", 0, False),
        ("--scale", "mad", "scale", "mad", False),
    ],
)
def test_the_command_line_and_the_estimator_accept_the_same_values(
    flag, text, name, value, accepted
):
    model = StreamingHuberRegressor(**{name: value})
    if accepted:
        assert estimator_parameters(fit_args(flag, text)) == {name: value}
        model._check_params()
    else:
        with pytest.raises(SystemExit):
            fit_args(flag, text)
        with pytest.raises(ValueError, match=f"The '{name}' parameter"):
            model._check_params()


def test_the_table_and_scikit_learns_constraints_agree():
    # scikit-learn generates a wrong value for each constraint and expects fit and partial_fit to
    # refuse it in its own wording.
    check_param_validation("StreamingHuberRegressor", StreamingHuberRegressor())
    constraints = StreamingHuberRegressor._parameter_constraints
    candidates = [None, "auto", "l1", "none", True, np.False_, -1, 0, 1, 2, 0.0, 0.5, -0.5,
                  np.float32(2.0), np.int64(3), np.nan, np.inf, "x"]  # fmt: skip
    for parameter in HUBER_PARAMETERS:
        for value in candidates:
            if isinstance(value, bool | np.bool_) and any(
                getattr(c, "type", None) in (Integral, Real) for c in constraints[parameter.name]
            ):
                continue  # scikit-learn takes a bool for a number; the table does not
            try:
                validate_parameter_constraints(
                    {parameter.name: constraints[parameter.name]}, {parameter.name: value}, "f"
                )
                sklearn_accepts = True
            except ValueError:
                sklearn_accepts = False
            assert parameter.values.admits(value) == sklearn_accepts, (parameter.name, value)
