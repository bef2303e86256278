"""quillet._direct and the array path of quillet.compare: the figures and picture bytes of
quillet._core for the same frames, read in place from any buffer layout."""

import math
import threading

import pytest
import quillet
from quillet import _core, _direct

np = pytest.importorskip("numpy")


def frame_pair(height, width, seed):
    """A random left frame and a right one that differs in scattered pixels and one block."""
    rng = np.random.default_rng(seed)
    left = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    right = left.copy()
    right[:: 7, :: 5] = rng.integers(0, 256, right[:: 7, :: 5].shape, dtype=np.uint8)
    right[height // 3 : height // 2, width // 4 : width // 2] //= 3
    return left, right


def core_result(left, right):
    """_core's figures and its picture scaled to the pair's own max_diff (a second compare)."""
    height, width = left.shape[:2]
    left_bytes, right_bytes = left.tobytes(), right.tobytes()
    _core.compare(left_bytes, right_bytes, width, height)
    figures = _core.compare(left_bytes, right_bytes, width, height)
    return figures, _core.get_diff_rgba()


def same_figures(a, b):
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b, strict=True))


def crop_of_larger(array):
    """The same pixels as a view into a wider, taller array: rows lie apart."""
    height, width = array.shape[:2]
    larger = np.zeros((height + 5, width + 7, 3), np.uint8)
    larger[3 : 3 + height, 2 : 2 + width] = array
    return larger[3 : 3 + height, 2 : 2 + width]


def read_only(array):
    array.flags.writeable = False
    return array


def rows_apart_2d(array):
    """A (height, width * 3) view whose rows lie apart."""
    height, width = array.shape[:2]
    larger = np.zeros((height, width * 3 + 11), np.uint8)
    larger[:, : width * 3] = array.reshape(height, width * 3)
    return larger[:, : width * 3]


LAYOUTS = {
    "contiguous": lambda a: a,
    "strided": crop_of_larger,
    "read-only": lambda a: read_only(a.copy()),
    "read-only strided": lambda a: read_only(crop_of_larger(a)),
    "rows 2-d": rows_apart_2d,
    "bytes": lambda a: a.tobytes(),
    "bytearray": lambda a: bytearray(a.tobytes()),
    "memoryview": lambda a: memoryview(a.tobytes()),
}

# Full size, just within the limit, just over it on either side, reduced by 1.5, by 3,
# tall, and one that reduces by a step that is not a whole number.
SIZES = [(1, 1), (23, 37), (720, 1280), (720, 1281), (721, 1280), (1080, 1920), (2160, 3840),
         (1280, 720), (1003, 1511)]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[1]}x{s[0]}")
def test_direct_gives_the_core_figures_and_picture(size, layout):
    height, width = size
    left, right = frame_pair(height, width, seed=height + width)
    expected_figures, expected_picture = core_result(left, right)
    convert = LAYOUTS[layout]
    left_in, right_in = convert(left), convert(right)
    assert _direct.compare(left_in, right_in, width, height) == expected_figures
    figures, picture = _direct.compare(left_in, right_in, width, height, picture=True)
    assert figures == expected_figures
    assert picture == expected_picture


@pytest.mark.parametrize("layout", ["contiguous", "strided", "read-only strided"])
@pytest.mark.parametrize("size", [(23, 37), (1080, 1920)], ids=lambda s: f"{s[1]}x{s[0]}")
def test_public_api_on_arrays_matches_the_core(size, layout):
    height, width = size
    left, right = frame_pair(height, width, seed=5)
    expected_figures, expected_picture = core_result(left, right)
    left_in, right_in = LAYOUTS[layout](left), LAYOUTS[layout](right)
    assert tuple(quillet.compare(left_in, right_in)) == expected_figures
    metrics, diff = quillet.compare_with_diff(left_in, right_in)
    assert tuple(metrics) == expected_figures
    assert diff.rgba == expected_picture
    assert diff.size == quillet.compared_size(width, height)


def test_arrays_whose_pixels_are_not_adjacent_are_converted_first():
    left, right = frame_pair(40, 60, seed=9)
    every_other = left[:, ::2], right[:, ::2]
    expected, _ = core_result(np.ascontiguousarray(every_other[0]), np.ascontiguousarray(every_other[1]))
    assert tuple(quillet.compare(*every_other)) == expected
    with pytest.raises(ValueError, match="left: expected 30x40 packed RGB pixels"):
        _direct.compare(every_other[0], every_other[1], 30, 40)


def test_identical_frames_and_a_frame_reduced_to_nothing():
    left, _ = frame_pair(20, 30, seed=1)
    assert _direct.compare(left, left.copy(), 30, 20) == (1.0, 100.0, 0.0, 0.0)
    thin = np.zeros((1, 2000, 3), np.uint8)
    # 2000 x 1 reduces to 1280 x 0: no pixels, as in the frame cache.
    assert same_figures(_direct.compare(thin, thin, 2000, 1), _core.compare(thin.tobytes(), thin.tobytes(), 2000, 1))


@pytest.mark.parametrize(
    ("left", "width", "height", "error", "message"),
    [
        (bytes(17), 2, 3, ValueError, "left: a 2x3 RGB frame needs 18 bytes, the buffer has 17"),
        (bytes(19), 2, 3, ValueError, "needs 18 bytes, the buffer has 19"),
        (bytes(18), 0, 3, ValueError, "frame sides must be at least 1"),
        (bytes(18), 2, -3, ValueError, "frame sides must be at least 1"),
        ("abcdef", 2, 1, TypeError, "bytes-like"),
        (np.zeros((3, 2, 3), np.uint16), 2, 3, TypeError, "left: expected a buffer of bytes"),
        (np.zeros((3, 2, 3), np.uint8)[::-1], 2, 3, ValueError, "row stride too small"),
        (np.zeros((3, 4, 3), np.uint8)[:, ::2], 2, 3, ValueError, "packed RGB pixels"),
    ],
    ids=["short", "long", "no width", "negative height", "str", "uint16", "rows backwards",
         "pixels apart"],
)
def test_direct_refuses_buffers_that_do_not_hold_the_frame(left, width, height, error, message):
    right = bytes(width * height * 3) if width > 0 and height > 0 else b""
    with pytest.raises(error, match=message):
        _direct.compare(left, right, width, height)


def test_direct_leaves_the_core_frame_cache_alone():
    left, right = frame_pair(8, 8, seed=3)
    _core.init_frame_cache(8, 8)
    _core.cache_frame(0, left.tobytes(), 8, 8)
    _core.cache_frame(1, right.tobytes(), 8, 8)
    _core.compare_cached_frames()  # from here on the colour scale is this pair's own
    before = _core.compare_cached_frames(), _core.get_diff_rgba()
    _direct.compare(right[:, ::-1].copy(), left, 8, 8, picture=True)
    assert (_core.compare_cached_frames(), _core.get_diff_rgba()) == before


def test_threads_compare_at_the_same_time_with_their_own_state():
    pairs = [frame_pair(300, 500, seed=seed) for seed in range(4)]
    expected = [core_result(left, right) for left, right in pairs]
    results = {}

    def work(index):
        left, right = pairs[index]
        for _ in range(5):
            results[index] = _direct.compare(left, right, 500, 300, picture=True)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [results[i] for i in range(4)] == expected


@pytest.mark.parametrize("changed_share", [0.0, 0.001, 0.05, 0.0625, 0.07, 0.5, 1.0])
def test_picture_scaled_to_its_own_max_diff_however_many_pixels_changed(changed_share):
    # From no changed pixels to all of them, the picture is coloured at the pair's own scale.
    # Pure red left pixels that do not change must keep their colour whatever the share.
    rng = np.random.default_rng(int(changed_share * 1000))
    height, width = 90, 160
    left = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    left[::3, ::4] = (255, 0, 0)
    right = left.copy()
    right[1::3, 1::4] = left[1::3, 1::4] ^ 3  # small changes, below the threshold
    changed = rng.random((height, width)) < changed_share
    right[changed] = 255 - left[changed]
    expected = core_result(left, right)
    assert _direct.compare(left, right, width, height, picture=True) == expected
    # The state's own last max_diff must not leak into the next picture.
    _direct.compare(right, 255 - right, width, height, picture=True)
    assert _direct.compare(left, right, width, height, picture=True) == expected


@pytest.mark.parametrize("width", [17, 31, 1279, 1280])
@pytest.mark.parametrize("edges", [("left",), ("right",), ("left", "right")])
def test_patches_of_changes_at_the_row_ends_give_the_core_picture(width, edges):
    # Rows that begin or end in changed pixels, on widths with and without a
    # part-block at the end; a few rows only, so the picture is coloured after the pass.
    rng = np.random.default_rng(width)
    height = 64
    left = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    right = left.copy()
    patch = max(1, width // 6)
    for edge, rows in zip(edges, (slice(5, 12), slice(40, 47)), strict=False):
        columns = slice(0, patch) if edge == "left" else slice(width - patch, width)
        right[rows, columns] = rng.integers(0, 256, right[rows, columns].shape, dtype=np.uint8)
    expected = core_result(left, right)
    assert _direct.compare(left, right, width, height, picture=True) == expected
    assert _direct.compare(crop_of_larger(left), crop_of_larger(right), width, height,
                           picture=True) == expected
