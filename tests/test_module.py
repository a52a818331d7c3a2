"""Module import, initialisation and class registration of _ravik."""

import ctypes
import glob
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import _ravik
from _ravik import NativeStream
from conftest import make_plan

SO_PATH = _ravik.__file__

MISMATCH = (
    "Python version mismatch: module was compiled for Python 3.13, "
    "but the interpreter version is incompatible: {}."
)

# Loads the extension file directly (its file name carries the 3.13 ABI tag,
# so a plain import under another interpreter would not even find it) and
# reports what the import raised, with the interpreter's own version string.
LOAD_SCRIPT = r"""
import importlib.machinery, importlib.util, json, sys
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("_ravik", path)
spec = importlib.util.spec_from_file_location("_ravik", path, loader=loader)
try:
    importlib.util.module_from_spec(spec)
    result = {"type": None, "msg": None}
except BaseException as e:
    result = {"type": type(e).__name__, "msg": str(e)}
result["version"] = sys.version
print(json.dumps(result))
"""


def other_interpreters():
    found = {}
    for path in sorted(glob.glob("/root/.pyenv/versions/3.*/bin/python3.*")):
        m = re.fullmatch(r".*/python(3\.(\d+))", path)
        if m and int(m.group(2)) >= 6 and m.group(1) != "3.13" and os.access(path, os.X_OK):
            found.setdefault(m.group(1), path)
    return found


OTHERS = other_interpreters()


def run_loader(python):
    proc = subprocess.run(
        [python, "-c", LOAD_SCRIPT, SO_PATH], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.skipif("3.12" not in OTHERS, reason="no CPython 3.12 under /root/.pyenv/versions")
def test_import_under_3_12_fails_with_the_version_mismatch_error():
    result = run_loader(OTHERS["3.12"])
    assert result["version"].startswith("3.12")
    assert result["type"] == "ImportError"
    assert result["msg"] == MISMATCH.format(result["version"])


@pytest.mark.parametrize(
    "version", sorted(set(OTHERS) - {"3.12"}, key=lambda v: int(v.split(".")[1]))
)
def test_import_under_other_versions_fails_with_the_version_mismatch_error(version):
    result = run_loader(OTHERS[version])
    assert result["type"] == "ImportError"
    assert result["msg"] == MISMATCH.format(result["version"])


def test_import_under_this_interpreter_succeeds_in_a_fresh_process():
    result = run_loader(sys.executable)
    assert sys.version.startswith("3.13")
    assert result["type"] is None, result["msg"]


def test_init_function_returns_a_module_definition():
    # Multi-phase initialisation: PyInit__ravik hands back the definition,
    # not a finished module.
    init = ctypes.PyDLL(SO_PATH).PyInit__ravik
    init.restype = ctypes.c_void_p
    address = init()
    assert address
    definition = ctypes.cast(address, ctypes.py_object).value
    assert type(definition).__name__ == "moduledef"


def test_import_in_a_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters", reason="no _interpreters module")
    interp = interpreters.create()
    try:
        failure = interpreters.exec(interp, "import _ravik")
    finally:
        interpreters.destroy(interp)
    assert failure is not None, "the sub-interpreter imported _ravik"
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == "module _ravik does not support loading in subinterpreters"
    # The main interpreter's module keeps working.
    s = NativeStream.manual(1, 1, 1)
    s.close()
    assert s.is_closed()


def test_module_contents_are_the_class_and_standard_attributes():
    assert sorted(dir(_ravik)) == [
        "NativeStream",
        "__doc__",
        "__file__",
        "__loader__",
        "__name__",
        "__package__",
        "__spec__",
    ]
    assert _ravik.__doc__ is None
    assert NativeStream.__module__ == "_ravik"
    assert NativeStream.__qualname__ == "NativeStream"
    assert NativeStream.__doc__ is None


def test_methods_are_registered_in_order():
    names = [name for name in NativeStream.__dict__ if not name.startswith("_")]
    assert names == [
        "udp",
        "manual",
        "address",
        "emit_json",
        "emit_columns",
        "next_batch",
        "aggregate_columns",
        "aggregate_trade_numeric",
        "save_checkpoint",
        "load_checkpoint",
        "stats",
        "is_closed",
        "close",
    ]


@pytest.mark.parametrize("name", ["udp", "manual"])
def test_factories_are_static_methods(name):
    assert isinstance(NativeStream.__dict__[name], staticmethod)


@pytest.mark.parametrize(
    "name",
    [n for n in NativeStream.__dict__ if not n.startswith("_")],
)
def test_each_method_has_a_single_overload(name):
    doc = getattr(NativeStream, name).__doc__ or ""
    assert "Overloaded function" not in doc


def instance_calls():
    arr = np.zeros(1, dtype=np.int64)
    return [
        pytest.param("address", (), id="address"),
        pytest.param("emit_json", ({},), id="emit_json"),
        pytest.param("emit_columns", ({},), id="emit_columns"),
        pytest.param("next_batch", (make_plan(), 0), id="next_batch"),
        pytest.param("aggregate_columns", ({}, make_plan()), id="aggregate_columns"),
        pytest.param(
            "aggregate_trade_numeric",
            (arr, np.zeros(1, dtype=np.uint8), arr, np.zeros(1), 1),
            id="aggregate_trade_numeric",
        ),
        pytest.param("save_checkpoint", ("/nonexistent/ckpt",), id="save_checkpoint"),
        pytest.param("load_checkpoint", ("/nonexistent/ckpt",), id="load_checkpoint"),
        pytest.param("stats", (), id="stats"),
        pytest.param("is_closed", (), id="is_closed"),
        pytest.param("close", (), id="close"),
    ]


@pytest.mark.parametrize("self_value", [None, 0, object()], ids=["None", "int", "object"])
@pytest.mark.parametrize("name, args", instance_calls())
def test_instance_methods_refuse_a_self_that_is_no_stream(name, args, self_value):
    with pytest.raises(TypeError, match=rf"^{name}\(\): incompatible function arguments"):
        getattr(NativeStream, name)(self_value, *args)
