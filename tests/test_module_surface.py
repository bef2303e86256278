"""What the interpreter sees of quillet._core: names, docstrings, signatures,
the one module object, the exported symbols and the subinterpreter refusal."""

import ast
import ctypes
import inspect
import pathlib
import shutil
import subprocess

import pytest
from quillet import _core

FUNCTIONS = [
    (
        "compare",
        "(left, right, width, height)",
        "Compare two RGB frames, returns (ssim, psnr, mse, max_diff)",
    ),
    ("init_frame_cache", "(width, height)", "Initialize frame cache with expected dimensions"),
    (
        "cache_frame",
        "(slot, rgb, width, height)",
        "Cache a frame to slot (0=left, 1=right)\nRGB data should be width * height * 3 bytes",
    ),
    ("compare_cached_frames", "()", "Compare cached frames, returns (ssim, psnr, mse, max_diff)"),
    (
        "get_diff_rgba",
        "()",
        "Get diff RGBA data as bytes (width * height * 4 bytes, ready for PIL.Image)",
    ),
    ("clear_frame_cache", "()", "Clear frame cache"),
    ("set_config", "(max_width, max_height, block_size)", "Set comparison config"),
    ("set_ema_alpha", "(alpha)", "Set EMA smoothing factor (1.0 = off, 0.3 = moderate filtering)"),
]
NAMES = [name for name, _, _ in FUNCTIONS]

SUBINTERPRETER_MESSAGE = "do not support subinterpreters yet"
TRACKER = "https://github.com/quillet/quillet/issues"


def test_module_docstring_and_all_in_registration_order():
    assert _core.__doc__ == "Python module definition"
    assert _core.__all__ == NAMES


def test_module_defines_nothing_beyond_the_functions():
    public = {name for name in vars(_core) if not name.startswith("__")}
    assert public == set(NAMES)
    assert not hasattr(_core, "PanicException")


@pytest.mark.parametrize(("name", "signature", "doc"), FUNCTIONS, ids=NAMES)
def test_function_signature_doc_and_owner(name, signature, doc):
    function = getattr(_core, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc
    assert function.__self__ is _core
    assert function.__module__ == "quillet._core"


def test_stub_file_matches_the_module():
    stub = pathlib.Path(_core.__file__).with_name("_core.pyi")
    assert stub.with_name("py.typed").exists()
    tree = ast.parse(stub.read_text())
    stubbed = {
        node.name: [arg.arg for arg in node.args.args]
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }
    runtime = {name: list(inspect.signature(getattr(_core, name)).parameters) for name in NAMES}
    assert stubbed == runtime


def test_entry_point_returns_the_same_module_object():
    entry = ctypes.PyDLL(_core.__file__).PyInit__core
    entry.restype = ctypes.py_object
    assert entry() is _core
    assert entry() is _core


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_init_function_is_the_only_exported_symbol():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", _core.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == ["PyInit__core"]


def test_package_imports_from_any_directory(run_python):
    result = run_python("from quillet import _core; print(_core.__name__)")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "quillet._core\n"


def test_subinterpreter_import_after_main_raises_import_error(run_python):
    result = run_python(
        """
        import _interpreters
        from quillet import _core
        sub = _interpreters.create("legacy")
        failure = _interpreters.run_string(sub, "from quillet import _core")
        _interpreters.destroy(sub)
        print(failure.type.__name__)
        print(failure.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    type_name, message = result.stdout.splitlines()
    assert type_name == "ImportError"
    assert SUBINTERPRETER_MESSAGE in message
    assert TRACKER in message


def test_main_import_after_subinterpreter_init_raises_import_error(run_python):
    # The import system runs single-phase initialisation in the main interpreter
    # first, so the subinterpreter calls the entry point itself to be first.
    result = run_python(
        """
        import _interpreters, importlib.machinery, importlib.util, os
        # Found without importing the package, which may itself import _core.
        package = os.path.dirname(importlib.util.find_spec("quillet").origin)
        origin = os.path.join(package, "_core" + importlib.machinery.EXTENSION_SUFFIXES[0])
        sub = _interpreters.create("legacy")
        failure = _interpreters.run_string(sub, f'''
        import ctypes
        entry = ctypes.PyDLL({origin!r}).PyInit__core
        entry.restype = ctypes.py_object
        assert entry().__doc__ == "Python module definition"
        ''')
        assert failure is None, failure
        try:
            from quillet import _core
        except ImportError as error:
            print(error)
        else:
            print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    assert SUBINTERPRETER_MESSAGE in result.stdout
    assert TRACKER in result.stdout
