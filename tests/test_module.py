import subprocess
import sys
import textwrap

import _varkit
import pytest

CONSTANTS = [
    ("CTLTYPE", 15),
    ("CTLTYPE_NODE", 1),
    ("CTLTYPE_INT", 2),
    ("CTLTYPE_STRING", 3),
    ("CTLTYPE_OPAQUE", 5),
    ("CTLTYPE_STRUCT", 5),
    ("CTLTYPE_UINT", 6),
    ("CTLTYPE_LONG", 7),
    ("CTLTYPE_ULONG", 8),
    ("CTLTYPE_S64", 4),
    ("CTLTYPE_U64", 9),
]


def test_constants_in_order():
    published = [k for k in vars(_varkit) if k.startswith("CTLTYPE")]
    assert published == [name for name, _ in CONSTANTS]
    assert [(k, getattr(_varkit, k)) for k in published] == CONSTANTS
    assert all(type(getattr(_varkit, k)) is int for k in published)


def test_module_namespace():
    public = {k for k in vars(_varkit) if not k.startswith("__")}
    assert public == {"Sysctl", "filter", "error_out"} | {n for n, _ in CONSTANTS}
    assert _varkit.__doc__ is None
    assert _varkit.filter.__doc__ == "Sysctl all"
    assert _varkit.error_out.__doc__ is None


def test_error_out_raises_module_error():
    with pytest.raises(Exception) as first:
        _varkit.error_out()
    with pytest.raises(Exception) as second:
        _varkit.error_out()
    cls = first.type
    assert cls is second.type
    assert cls.__name__ == "Error"
    assert cls.__module__ == "_varkit"
    assert cls.__bases__ == (Exception,)
    assert first.value.args == ("something bad happened",)
    assert str(first.value) == "something bad happened"
    assert not hasattr(_varkit, "Error")


def test_error_out_takes_no_arguments():
    with pytest.raises(TypeError):
        _varkit.error_out(1)


def test_sysctl_is_the_type_of_filtered_objects(default_tree):
    objs = _varkit.filter()
    assert objs
    assert all(type(o) is _varkit.Sysctl for o in objs)


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_reimport_makes_a_fresh_module_and_error_class():
    r = run_python(
        """
        import sys, _varkit
        def cls(m):
            try:
                m.error_out()
            except Exception as e:
                return type(e)
        first, c1 = _varkit, cls(_varkit)
        del sys.modules["_varkit"]
        import _varkit as second
        c2 = cls(second)
        assert first is not second
        assert c1 is not c2 and c1.__name__ == c2.__name__ == "Error"
        assert first.Sysctl is second.Sysctl
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_error_out_after_clear_hook_raises_system_error():
    # Run the module's clear hook directly (the interpreter does so while it
    # tears the module down) and call error_out afterwards.
    r = run_python(
        """
        import ctypes, _varkit
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        moddef = api.PyModule_GetDef(_varkit)
        # PyModuleDef: PyModuleDef_Base (object header, m_init, m_index,
        # m_copy), then m_name, m_doc, m_size, m_methods, m_slots,
        # m_traverse, m_clear.
        base = ctypes.sizeof(ctypes.c_void_p) * 2 + 3 * 8
        m_clear = ctypes.c_void_p.from_address(moddef + base + 6 * 8).value
        clear = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)(m_clear)
        assert clear(_varkit) == 0
        assert clear(_varkit) == 0
        try:
            _varkit.error_out()
        except SystemError:
            print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_exports_only_the_init_function():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", _varkit.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit__varkit"}
