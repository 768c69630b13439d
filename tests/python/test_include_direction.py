"""The include-direction check of `make lint` flags each kind of upward include, and passes the
tree itself."""

import importlib.util
from pathlib import Path

import pytest

CHECKER_PATH = Path(__file__).resolve().parent.parent / "check_include_direction.py"
checker_module = importlib.util.spec_from_file_location("check_include_direction", CHECKER_PATH)
assert checker_module is not None and checker_module.loader is not None
checker = importlib.util.module_from_spec(checker_module)
checker_module.loader.exec_module(checker)


def write_tree(root: Path, files: dict[str, str]) -> None:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


# Headers every fake tree has, so that an include fails only for its direction.
BASE = {
    "src/common/helper.hpp": "#pragma once\n#include <cstdint>\n",
    "src/parallel/pool.hpp": '#include "common/helper.hpp"\n',
    "src/engine/records.hpp": '#include "common/helper.hpp"\n',
    "src/engine/driver.hpp": '#include "solver/solve.hpp"\n#include "kernels/sum.hpp"\n',
    "src/solver/solve.hpp": '#include "engine/records.hpp"\n',
    "src/kernels/sum.hpp": '#include "engine/records.hpp"\n#include "parallel/pool.hpp"\n',
    "bindings/module.cpp": '#include <Python.h>\n#include "engine/driver.hpp"\n',
}


@pytest.mark.parametrize(
    ("name", "text", "reason"),
    [
        ("src/common/bad.hpp", '#include "kernels/sum.hpp"\n', "common may include only"),
        ("src/parallel/bad.cpp", '#include "engine/records.hpp"\n', "parallel may include"),
        ("src/kernels/bad.hpp", '#include "solver/solve.hpp"\n', "kernels may include"),
        ("src/kernels/bad.hpp", '#include "engine/driver.hpp"\n', "kernels may include"),
        ("src/solver/bad.hpp", '  #  include "engine/driver.hpp"\n', "solver may include"),
        ("src/engine/bad.cpp", '#include "bindings/module.hpp"\n', "only the bindings"),
        ("src/engine/bad.cpp", "#include <Python.h>\n", "only the bindings"),
        ("src/kernels/bad.hpp", "#include <numpy/arrayobject.h>\n", "only the bindings"),
        ("src/kernels/bad.hpp", '#include "kernels/missing.hpp"\n', "no such header"),
        ("src/extra/new.hpp", "#pragma once\n", "not in a known layer"),
    ],
)
def test_each_upward_include_is_reported(tmp_path, name, text, reason):
    write_tree(tmp_path, BASE)
    assert checker.violations(tmp_path) == []
    write_tree(tmp_path, {name: "#pragma once\n" + text})
    found = checker.violations(tmp_path)
    assert len(found) == 1 and found[0].startswith(name) and reason in found[0]
    assert checker.main(["check", str(tmp_path)]) == 1


def test_the_tree_includes_only_downward():
    assert checker.violations(CHECKER_PATH.parent.parent) == []
