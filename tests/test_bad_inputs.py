"""Bad and odd inputs, each through the Python API and through ``quillet compare`` in a process of
its own. Every case states what must happen on both sides; every run checks that no input file
changed and that no output (nor a half-written temporary) was left where the run failed.

To add a case, append an InputCase to CASES: ``make`` writes the inputs into a folder and returns
the left and right paths; ``error`` is the exception the API raises (None when it compares);
``fragments`` must all appear in that exception's message and in the command's one error line,
with ``{left}``/``{right}`` standing for the paths (also in ``cli_options``); ``status`` is the
command's exit status.
"""

import hashlib
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import pytest
import quillet

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")
features = pytest.importorskip("PIL.features")

from image_files import (  # noqa: E402
    save_frames,
    save_oriented_jpeg,
    smooth_picture,
    solid_frames,
    write_png16,
    write_png_claiming,
)

EXIT_SAME, EXIT_DIFFERENT, EXIT_ERROR = 0, 1, 2


@dataclass(frozen=True)
class InputCase:
    id: str
    make: Callable[[Path], tuple[Path, Path]]
    error: type[BaseException] | None
    fragments: tuple[str, ...]
    status: int
    cli_options: tuple[str, ...] = ()
    # For cases the API compares: a check on the figures.
    accept: Callable[[quillet.Metrics], bool] = field(default=lambda metrics: True)
    needs: str | None = None  # a Pillow feature the case cannot run without


def _png(folder: Path, name: str, array) -> Path:
    path = folder / name
    Image.fromarray(array).save(path)
    return path


def _reference(folder: Path) -> Path:
    return _png(folder, "reference.png", smooth_picture(12, 16))


def _deep(channels: int) -> Callable[[Path], tuple[Path, Path]]:
    """A 16-bit PNG and the 8-bit PNG of its high bytes: the same picture."""

    def make(folder: Path) -> tuple[Path, Path]:
        shape = (12, 16) if channels == 1 else (12, 16, channels)
        samples = np.random.default_rng(channels).integers(0, 65536, shape, dtype=np.uint16)
        deep = write_png16(folder / "deep.png", samples)
        high = (samples >> 8).astype(np.uint8)
        if channels == 2:
            high = high[:, :, 0]
        elif channels == 4:
            high = high[:, :, :3]
        return deep, _png(folder, "export.png", high)

    return make


def _dark_deep_pair(folder: Path) -> tuple[Path, Path]:
    """Two different dark 16-bit grey pictures, which 8-bit clipping would make both white."""
    ramp = np.linspace(300, 20000, 12 * 16).reshape(12, 16).astype(np.uint16)
    return write_png16(folder / "a.png", ramp), write_png16(folder / "b.png", ramp[::-1].copy())


def _float_tiff(scale: float) -> Callable[[Path], tuple[Path, Path]]:
    def make(folder: Path) -> tuple[Path, Path]:
        samples = np.random.default_rng(7).random((12, 16), dtype=np.float32) * np.float32(scale)
        tiff = folder / "float.tif"
        Image.fromarray(samples).save(tiff)
        export = np.floor(np.clip(samples, 0, 1).astype(np.float64) * 255 + 0.5).astype(np.uint8)
        return tiff, _png(folder, "export.png", export)

    return make


def _i16_tiff(folder: Path) -> tuple[Path, Path]:
    samples = np.random.default_rng(9).integers(0, 65536, (12, 16), dtype=np.uint16)
    tiff = folder / "deep.tif"
    Image.fromarray(samples).save(tiff)
    return tiff, _png(folder, "export.png", (samples >> 8).astype(np.uint8))


def _animation(name: str, **options) -> Callable[[Path], tuple[Path, Path]]:
    def make(folder: Path) -> tuple[Path, Path]:
        frames = solid_frames(3, 12, 16)
        return save_frames(folder / name, frames, **options), _png(folder, "first.png", frames[0])

    return make


def _rotated_photo(folder: Path) -> tuple[Path, Path]:
    upright = smooth_picture(12, 16)
    return (
        save_oriented_jpeg(folder / "phone.jpg", upright, orientation=6),
        _png(folder, "export.png", upright),
    )


def _claiming(width: int, height: int) -> Callable[[Path], tuple[Path, Path]]:
    def make(folder: Path) -> tuple[Path, Path]:
        return write_png_claiming(folder / "bomb.png", width, height), _reference(folder)

    return make


def _cut(keep: Callable[[int], int], name: str = "cut.png") -> Callable[[Path], tuple[Path, Path]]:
    def make(folder: Path) -> tuple[Path, Path]:
        whole = _reference(folder).read_bytes()
        left = folder / name
        left.write_bytes(whole[: keep(len(whole))])
        return left, folder / "reference.png"

    return make


def _text_named_png(folder: Path) -> tuple[Path, Path]:
    left = folder / "notes.png"
    left.write_text("these are notes, not a picture\n")
    return left, _reference(folder)


def _missing(folder: Path) -> tuple[Path, Path]:
    return _reference(folder), folder / "missing.png"


def _folder(folder: Path) -> tuple[Path, Path]:
    (folder / "frames").mkdir()
    return folder / "frames", _reference(folder)


def _sizes_differ(folder: Path) -> tuple[Path, Path]:
    return _reference(folder), _png(folder, "small.png", smooth_picture(6, 8))


def _two_pictures(folder: Path) -> tuple[Path, Path]:
    """Two different pictures of the same size: the outputs, not the inputs, are the bad part."""
    changed = smooth_picture(12, 16).copy()
    changed[3:6, 4:9] = 255 - changed[3:6, 4:9]
    return _reference(folder), _png(folder, "changed.png", changed)


CASES = [
    InputCase("png16-grey", _deep(1), None, (), EXIT_SAME, accept=lambda m: m.identical),
    InputCase("png16-grey-alpha", _deep(2), None, (), EXIT_SAME, accept=lambda m: m.identical),
    InputCase("png16-rgb", _deep(3), None, (), EXIT_SAME, accept=lambda m: m.identical),
    InputCase("png16-rgba", _deep(4), None, (), EXIT_SAME, accept=lambda m: m.identical),
    InputCase(
        "png16-dark-pictures-differ",
        _dark_deep_pair,
        None,
        (),
        EXIT_DIFFERENT,
        accept=lambda m: m.mse > 1000,
    ),
    InputCase("tiff-i16", _i16_tiff, None, (), EXIT_SAME, accept=lambda m: m.identical),
    InputCase("tiff-float", _float_tiff(1.0), None, (), EXIT_SAME, accept=lambda m: m.identical),
    InputCase(
        "tiff-float-beyond-one",
        _float_tiff(2.0),
        ValueError,
        ("{left}", "outside the range [0, 1]"),
        EXIT_ERROR,
    ),
    InputCase(
        "gif-animation",
        _animation("anim.gif", duration=40, loop=0),
        quillet.MultiFrameImageError,
        ("{left}", "3 frames", "quillet video"),
        EXIT_ERROR,
    ),
    InputCase(
        "apng-animation",
        _animation("anim.png", duration=40),
        quillet.MultiFrameImageError,
        ("{left}", "3 frames", "quillet video"),
        EXIT_ERROR,
    ),
    InputCase(
        "tiff-pages",
        _animation("pages.tif"),
        quillet.MultiFrameImageError,
        ("{left}", "3 frames", "quillet video"),
        EXIT_ERROR,
    ),
    InputCase(
        "webp-animation",
        _animation("anim.webp", duration=40, lossless=True),
        quillet.MultiFrameImageError,
        ("{left}", "3 frames", "quillet video"),
        EXIT_ERROR,
        needs="webp",
    ),
    InputCase(
        "jpeg-exif-rotated",
        _rotated_photo,
        None,
        (),
        EXIT_SAME,
        cli_options=("--min-psnr", "30"),
        accept=lambda m: m.psnr >= 30,
    ),
    InputCase(
        "header-above-the-limit",
        _claiming(12000, 11000),
        quillet.ImageTooLargeError,
        ("{left}", "12000x11000", "limit of 120000000"),
        EXIT_ERROR,
    ),
    InputCase(
        "decompression-bomb",
        _claiming(100000, 100000),
        quillet.ImageTooLargeError,
        ("{left}", "10000000000 pixels"),
        EXIT_ERROR,
    ),
    InputCase(
        "truncated-data",
        _cut(lambda size: size - 40),
        quillet.ImageReadError,
        ("{left}", "truncated"),
        EXIT_ERROR,
    ),
    InputCase(
        "truncated-header",
        _cut(lambda size: 20),
        quillet.ImageReadError,
        ("{left}",),
        EXIT_ERROR,
    ),
    InputCase("empty-file", _cut(lambda size: 0), quillet.ImageReadError, ("{left}",), EXIT_ERROR),
    InputCase(
        "text-named-png",
        _text_named_png,
        quillet.ImageReadError,
        ("{left}", "cannot identify"),
        EXIT_ERROR,
    ),
    InputCase("missing-file", _missing, FileNotFoundError, ("{right}",), EXIT_ERROR),
    InputCase("folder", _folder, IsADirectoryError, ("{left}",), EXIT_ERROR),
    InputCase("sizes-differ", _sizes_differ, ValueError, ("differ in size",), EXIT_ERROR),
    # Bad outputs: the API writes nothing and compares; the command refuses before any work.
    InputCase(
        "diff-is-the-left-input",
        _two_pictures,
        None,
        ("refusing to write {left}: it is the input",),
        EXIT_ERROR,
        cli_options=("--diff", "{left}"),
        accept=lambda m: m.mse > 0,
    ),
    InputCase(
        "diff-of-unknown-format",
        _two_pictures,
        None,
        ("unknown picture format .xyz",),
        EXIT_ERROR,
        cli_options=("--diff", "{right}.xyz"),
        accept=lambda m: m.mse > 0,
    ),
]


def _digests(folder: Path) -> dict[str, str]:
    return {
        path.name: hashlib.sha256(path.read_bytes()).hexdigest()
        for path in sorted(folder.iterdir())
        if path.is_file()
    }


def _expected_fragments(case: InputCase, left: Path, right: Path) -> list[str]:
    return [fragment.format(left=left, right=right) for fragment in case.fragments]


@pytest.fixture(params=CASES, ids=[case.id for case in CASES])
def case(request):
    case = request.param
    if case.needs and not features.check(case.needs):
        pytest.skip(f"this Pillow lacks {case.needs}")
    return case


@pytest.fixture
def inputs(tmp_path, case):
    folder = tmp_path / "inputs"
    folder.mkdir()
    left, right = case.make(folder)
    before = _digests(folder)
    yield left, right
    assert _digests(folder) == before, "an input file changed"


def test_api(case, inputs):
    left, right = inputs
    if case.error is None:
        assert case.accept(quillet.compare(left, right))
        return
    with pytest.raises(case.error) as raised:
        quillet.compare(left, right)
    message = str(raised.value)
    for fragment in _expected_fragments(case, left, right):
        assert fragment in message


def test_command(case, inputs, tmp_path):
    left, right = inputs
    outputs = tmp_path / "outputs"
    outputs.mkdir()
    diff = outputs / "diff.png"
    result = subprocess.run(
        [sys.executable, "-m", "quillet", "compare", str(left), str(right), "--diff", str(diff),
         *(option.format(left=left, right=right) for option in case.cli_options)],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == case.status, result.stderr
    assert "Traceback" not in result.stderr
    if case.status == EXIT_ERROR:
        lines = result.stderr.strip().splitlines()
        assert len(lines) == 1, result.stderr
        assert lines[0].startswith("quillet: error:")
        for fragment in _expected_fragments(case, left, right):
            assert fragment in lines[0]
        assert list(outputs.iterdir()) == [], "an output was left by a failed run"
    else:
        assert result.stderr == ""
        assert [path.name for path in outputs.iterdir()] == ["diff.png"]
        with Image.open(diff) as picture:
            assert picture.size == (16, 12)
