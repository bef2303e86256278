"""Image inputs: one sample rule on the file, Pillow and NumPy routes; EXIF orientation; the pixel
limit; every frame of animations and multi-page files; NumPy's copy contract on pictures."""

import warnings

import pytest
import quillet
from quillet._images import DEFAULT_MAX_PIXELS, iter_image_frames, read_image, upright

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


def samples16(channels, seed=3, height=5, width=7):
    shape = (height, width) if channels == 1 else (height, width, channels)
    return np.random.default_rng(seed).integers(0, 65536, shape, dtype=np.uint16)


def as_rgb8(samples):
    """What the stated rule gives: the high byte, grey repeated, alpha dropped."""
    high = (samples >> 8).astype(np.uint8)
    if high.ndim == 2:
        high = high[:, :, np.newaxis]
    if high.shape[2] in (1, 2):
        return np.repeat(high[:, :, :1], 3, axis=2)
    return high[:, :, :3]


# --- the sample rule on every route ---------------------------------------------------------


@pytest.mark.parametrize("channels", [1, 2, 3, 4], ids=["grey", "grey-alpha", "rgb", "rgba"])
def test_16_bit_png_of_every_colour_type_keeps_the_high_byte(tmp_path, channels):
    samples = samples16(channels)
    path = write_png16(tmp_path / "deep.png", samples)
    expected = as_rgb8(samples)
    np.testing.assert_array_equal(quillet.Frame.open(path).to_array(), expected)
    with Image.open(path) as image:
        np.testing.assert_array_equal(quillet.Frame.from_image(image).to_array(), expected)
    if channels != 2:  # NumPy arrays have no grey + alpha shape
        np.testing.assert_array_equal(quillet.Frame.from_array(samples).to_array(), expected)


@pytest.mark.parametrize("mode", ["I;16", "I;16B", "I;16L", "I"])
def test_16_bit_pillow_modes_follow_the_array_rule(mode):
    samples = samples16(1, seed=11)
    if mode == "I":
        image = Image.fromarray(samples.astype(np.int32))
    else:
        dtype = ">u2" if mode == "I;16B" else "<u2"
        image = Image.frombytes(mode, (7, 5), samples.astype(dtype).tobytes())
    assert image.mode == mode
    assert quillet.Frame.from_image(image) == quillet.Frame.from_array(samples)
    np.testing.assert_array_equal(quillet.Frame.from_image(image).to_array(), as_rgb8(samples))


def test_16_bit_values_map_by_their_high_byte():
    values = np.array([[0, 255, 256, 257 * 128, 65534, 65535]], np.uint16)
    assert list(quillet.Frame.from_array(values).to_array()[0, :, 0]) == [0, 0, 1, 128, 255, 255]


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_floats_in_unit_range_round_to_the_nearest_level(dtype):
    levels = np.arange(256)
    exact = (levels / 255).astype(dtype)[np.newaxis]
    assert list(quillet.Frame.from_array(exact).to_array()[0, :, 0]) == list(levels)
    if dtype is not np.float16:  # too coarse to sit 0.49 of a level away
        below = ((levels[:-1] + 0.49) / 255).astype(dtype)[np.newaxis]
        above = ((levels[:-1] + 0.51) / 255).astype(dtype)[np.newaxis]
        assert list(quillet.Frame.from_array(below).to_array()[0, :, 0]) == list(levels[:-1])
        assert list(quillet.Frame.from_array(above).to_array()[0, :, 0]) == list(levels[1:])


@pytest.mark.parametrize(
    ("bad", "shown"),
    [(-0.01, "-0.01 to"), (1.5, "to 1.5"), (np.nan, "1 NaN"), (np.inf, "to inf")],
    ids=["negative", "above-one", "nan", "infinite"],
)
def test_floats_outside_the_unit_range_are_refused_on_every_route(tmp_path, bad, shown):
    samples = np.full((3, 4), 0.5, np.float32)
    samples[1, 2] = bad
    with pytest.raises(ValueError, match=r"outside the range \[0, 1\]") as from_array:
        quillet.Frame.from_array(samples)
    assert shown in str(from_array.value)
    with pytest.raises(ValueError, match=r"outside the range \[0, 1\]"):
        quillet.Frame.from_image(Image.fromarray(samples))
    path = tmp_path / "float.tif"
    Image.fromarray(samples).save(path)
    with pytest.raises(ValueError, match=r"outside the range \[0, 1\]") as from_file:
        quillet.Frame.open(path)
    assert str(path) in str(from_file.value)


def test_float_tiff_reads_like_its_array(tmp_path):
    samples = np.random.default_rng(5).random((6, 9), dtype=np.float32)
    path = tmp_path / "float.tif"
    Image.fromarray(samples).save(path)
    with Image.open(path) as image:
        assert image.mode == "F"
    assert quillet.Frame.open(path) == quillet.Frame.from_array(samples)


@pytest.mark.parametrize(("low", "high"), [(-1, 10), (0, 65536)], ids=["negative", "above-16-bit"])
def test_32_bit_integer_images_outside_16_bits_are_refused(low, high):
    image = Image.fromarray(np.array([[low, high]], np.int32))
    with pytest.raises(ValueError, match=rf"from {low} to {high}.*\[0, 65535\]"):
        quillet.Frame.from_image(image)


@pytest.mark.parametrize("dtype", [np.int32, np.uint32, np.bool_, np.int8])
def test_other_dtypes_are_refused_by_name(dtype):
    with pytest.raises(TypeError, match=f"dtype {np.dtype(dtype)}"):
        quillet.Frame.from_array(np.zeros((2, 2, 3), dtype))


# --- EXIF orientation -----------------------------------------------------------------------


@pytest.mark.parametrize("orientation", [1, 3, 6, 8])
def test_exif_orientation_turns_photos_upright_on_the_file_and_pillow_routes(tmp_path, orientation):
    upright = smooth_picture()
    photo = save_oriented_jpeg(tmp_path / "photo.jpg", upright, orientation)
    frame = quillet.Frame.open(photo)
    assert frame.size == (upright.shape[1], upright.shape[0])
    assert quillet.compare(frame, upright).psnr > 30  # JPEG loss only
    # Turned the wrong way, the picture is far from upright: the orientation matters.
    if orientation == 3:
        assert quillet.compare(np.rot90(upright, 2).copy(), upright).psnr < 15
    with Image.open(photo) as image:
        assert quillet.Frame.from_image(image) == frame


# --- the pixel limit ------------------------------------------------------------------------


def test_the_limit_admits_its_own_size_and_refuses_one_pixel_more(tmp_path):
    path = tmp_path / "small.png"
    Image.fromarray(np.zeros((10, 12, 3), np.uint8)).save(path)
    assert quillet.Frame.open(path, max_pixels=120).size == (12, 10)
    with pytest.raises(quillet.ImageTooLargeError, match=r"12x10 = 120 pixels.*limit of 119"):
        quillet.Frame.open(path, max_pixels=119)
    assert quillet.Frame.open(path, max_pixels=None).size == (12, 10)


@pytest.mark.parametrize("limit", [0, -5, True])
def test_a_limit_that_is_not_a_positive_count_is_refused(tmp_path, limit):
    path = tmp_path / "small.png"
    Image.fromarray(np.zeros((2, 2, 3), np.uint8)).save(path)
    with pytest.raises(ValueError, match="max_pixels must be a positive"):
        quillet.Frame.open(path, max_pixels=limit)


@pytest.mark.parametrize(
    ("width", "height", "fragment"),
    [
        (12000, 11000, "132000000 pixels, more than the limit of 120000000"),
        (100000, 100000, "claims 10000000000 pixels, more than the limit of 120000000"),
    ],
    ids=["above-the-default", "above-pillow-s-own-limit"],
)
def test_huge_headers_are_refused_before_decoding_without_a_warning(tmp_path, width, height, fragment):
    path = write_png_claiming(tmp_path / "bomb.png", width, height)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(quillet.ImageTooLargeError, match=fragment) as refused:
            quillet.Frame.open(path)
    assert str(path) in str(refused.value)
    assert isinstance(refused.value, ValueError)


def test_a_limit_above_pillow_s_own_names_pillow_s_limit(tmp_path):
    path = write_png_claiming(tmp_path / "bomb.png", 100000, 100000)
    with pytest.raises(quillet.ImageTooLargeError, match=r"more than Pillow accepts \(\d+ pixels"):
        quillet.Frame.open(path, max_pixels=10**11)


def test_the_default_limit_is_the_one_frame_open_uses():
    import inspect

    assert inspect.signature(quillet.Frame.open).parameters["max_pixels"].default == DEFAULT_MAX_PIXELS
    assert inspect.signature(read_image).parameters["max_pixels"].default == DEFAULT_MAX_PIXELS


# --- several frames in one file -------------------------------------------------------------

ANIMATIONS = {
    "gif": ("anim.gif", {"loop": 0}, [40, 60, 100], [0.0, 0.04, 0.1]),
    "apng": ("anim.png", {}, [40, 60, 100], [0.0, 0.04, 0.1]),
    "tiff": ("pages.tif", {}, None, [None, None, None]),
    "webp": ("anim.webp", {"lossless": True}, [40, 60, 100], [0.0, 0.04, 0.1]),
}


@pytest.mark.parametrize(
    ("name", "options", "durations", "times"), ANIMATIONS.values(), ids=ANIMATIONS.keys()
)
def test_every_frame_of_a_multi_frame_file_is_read_in_order_with_its_time(
    tmp_path, name, options, durations, times
):
    if name.endswith(".webp") and not features.check("webp"):
        pytest.skip("this Pillow has no WebP support")
    frames = solid_frames(3)
    path = save_frames(tmp_path / name, frames, durations, **options)
    read = list(iter_image_frames(path))
    assert [item.index for item in read] == [0, 1, 2]
    for item, expected in zip(read, frames, strict=True):
        np.testing.assert_array_equal(item.frame.to_array(), expected)
    assert [item.time for item in read] == pytest.approx(times)
    with pytest.raises(quillet.MultiFrameImageError, match="quillet video"):
        quillet.Frame.open(path)


def test_a_still_picture_is_one_frame(tmp_path):
    path = tmp_path / "still.png"
    picture = smooth_picture(4, 5)
    Image.fromarray(picture).save(path)
    (only,) = iter_image_frames(path)
    assert (only.index, only.time) == (0, None)
    np.testing.assert_array_equal(only.frame.to_array(), picture)


def test_frames_above_the_limit_are_refused_naming_the_file(tmp_path):
    path = save_frames(tmp_path / "anim.gif", solid_frames(2), [40, 40])
    with pytest.raises(quillet.ImageTooLargeError, match="anim.gif"):
        next(iter_image_frames(path, max_pixels=10))


# --- damaged files ---------------------------------------------------------------------------

DAMAGED_SOURCES = {
    "png": ("s.png", None),
    "jpeg": ("s.jpg", None),
    "tiff": ("s.tif", None),
    "gif": ("s.gif", None),
    "webp": ("s.webp", None),
    "animated-gif": ("a.gif", 40),
    "apng": ("a.png", 40),
    "tiff-pages": ("a.tif", None),
}


@pytest.mark.parametrize(("name", "duration"), DAMAGED_SOURCES.values(), ids=DAMAGED_SOURCES.keys())
def test_every_cut_of_a_file_is_read_or_refused_naming_it_without_a_warning(tmp_path, name, duration):
    """Decoders fail on cut data in many ways (IndexError and struct.error in GIF frame
    counting, warnings from damaged TIFF directories); each must become ImageReadError."""
    if name.endswith(".webp") and not features.check("webp"):
        pytest.skip("this Pillow has no WebP support")
    whole_path = tmp_path / name
    if name.startswith("a."):
        save_frames(whole_path, solid_frames(3, 12, 16), duration)
    else:
        Image.fromarray(smooth_picture(12, 16)).save(whole_path)
    whole = whole_path.read_bytes()
    cut_path = tmp_path / f"cut{whole_path.suffix}"
    stride = max(1, len(whole) // 300)
    for size in range(0, len(whole), stride):
        cut_path.write_bytes(whole[:size])
        for read in (read_image, lambda path: list(iter_image_frames(path))):
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                try:
                    read(cut_path)
                except quillet.MultiFrameImageError:
                    pass
                except quillet.ImageReadError as error:
                    assert str(cut_path) in str(error), f"cut at {size}: {error}"


# --- NumPy's conversion protocol on difference pictures -------------------------------------


def picture():
    left = smooth_picture(4, 6)
    return quillet.compare_with_diff(left, 255 - left).diff


def test_asarray_without_copy_is_a_read_only_view_of_the_bytes():
    diff = picture()
    view = np.asarray(diff, copy=False)
    assert view.shape == (4, 6, 4) and view.dtype == np.uint8
    assert not view.flags.writeable
    assert np.shares_memory(view, np.frombuffer(diff.rgba, np.uint8))
    assert view.tobytes() == diff.rgba


def test_asarray_without_copy_refuses_a_conversion_that_needs_one():
    with pytest.raises(ValueError, match="copy=False"):
        np.asarray(picture(), dtype=np.float32, copy=False)


@pytest.mark.parametrize("copy", [None, True])
@pytest.mark.parametrize("dtype", [None, np.uint8, np.float32])
def test_conversions_that_may_copy_give_a_new_writable_array(copy, dtype):
    diff = picture()
    array = np.array(diff, dtype=dtype, copy=copy)
    assert array.flags.writeable
    assert array.dtype == (np.uint8 if dtype is None else dtype)
    assert not np.shares_memory(array, np.frombuffer(diff.rgba, np.uint8))
    np.testing.assert_array_equal(array, np.frombuffer(diff.rgba, np.uint8).reshape(4, 6, 4))


@pytest.mark.parametrize(
    ("width", "height", "fragment"),
    [(10000, 9500, "95000000 pixels, more than the limit of 94999999"), (100000, 100000, "claims 10000000000 pixels")],
    ids=["own-limit", "pillow-s-limit"],
)
def test_image_streams_refuse_huge_headers_without_a_warning(tmp_path, width, height, fragment):
    from quillet._sources import SourceError, open_source

    path = write_png_claiming(tmp_path / "bomb.png", width, height)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(SourceError, match=fragment) as refused:
            open_source(str(path), max_pixels=94_999_999)
    assert str(path) in str(refused.value)


def test_image_streams_and_single_images_share_one_default_limit():
    import inspect

    from quillet._sources import open_source

    assert inspect.signature(open_source).parameters["max_pixels"].default == DEFAULT_MAX_PIXELS


def test_an_image_that_needs_no_turn_is_not_copied():
    image = Image.fromarray(smooth_picture(4, 5))
    assert upright(image) is image
