import random
import time

import numpy as np
import pytest

TOP = 2**64 - 1
SPAN = 2**32


def make(ext, values):
    return ext.Bitmap(np.array(sorted(values), dtype=np.uint64))


def near_edges(rng):
    anchor = rng.choice([0, SPAN - 40, SPAN, 7 * SPAN - 20, TOP - 60])
    return min(anchor + rng.randrange(80), TOP)


def test_random_operations_agree_with_python_set(ext):
    rng = random.Random(4242)
    bitmap, model = ext.Bitmap(), set()
    for step in range(3000):
        position = near_edges(rng)
        end = min(position + rng.randrange(120), TOP)
        action = rng.randrange(11)
        if action == 0:
            bitmap.set(position)
            model.add(position)
        elif action == 1:
            bitmap.unset(position)
            model.discard(position)
        elif action == 2:
            bitmap.set(position, end)
            model.update(range(position, end))
        elif action == 3:
            bitmap.unset(position, end)
            model.difference_update(range(position, end))
        elif action == 4:
            if end > position:
                bitmap.flip(position, end)
                model.symmetric_difference_update(range(position, end))
            else:
                bitmap.flip(position)
                model.symmetric_difference_update({position})
        elif action == 5:
            by = rng.choice([rng.randrange(60), SPAN + rng.randrange(60)])
            own_bucket = any(v >> 32 == position >> 32 for v in model)
            if model and max(model) >= position and own_bucket and position % SPAN <= by:
                before = list(bitmap)
                with pytest.raises(ValueError, match="Range Out of Bounds"):
                    bitmap.contract(position, by)
                assert list(bitmap) == before
                continue
            bitmap.contract(position, by)
            gap = range(position, position + by)
            model = {v if v < position else v - by for v in model if v not in gap}
        elif action == 6:
            by = rng.choice([rng.randrange(60), SPAN - 1])
            if model and max(model) >= position and max(model) + by > TOP:
                before = list(bitmap)
                with pytest.raises(ValueError, match="Range Out of Bounds"):
                    bitmap.expand(position, by)
                assert list(bitmap) == before
                continue
            bitmap.expand(position, by)
            model = {v if v < position else v + by for v in model}
        else:
            other_values = {near_edges(rng) for _ in range(rng.randrange(30))}
            other = make(ext, other_values)
            kind = rng.randrange(4)
            expected = [model | other_values, model & other_values, model - other_values,
                        model ^ other_values][kind]
            result = [bitmap | other, bitmap & other, bitmap - other, bitmap ^ other][kind]
            assert list(result) == sorted(expected)
            if rng.randrange(2):
                before = bitmap
                if kind == 0:
                    bitmap |= other
                elif kind == 1:
                    bitmap &= other
                elif kind == 2:
                    bitmap -= other
                else:
                    bitmap ^= other
                assert bitmap is before
                model = expected
        assert list(bitmap) == sorted(model), f"step {step}"
        assert len(bitmap) == bitmap.cardinality() == len(model)
        probe = near_edges(rng)
        assert bitmap.lower_cardinality(probe) == sum(v < probe for v in model)
        assert bitmap.upper_cardinality(probe) == sum(v > probe for v in model)
        assert bitmap.self_or_next(probe) == min((v for v in model if v >= probe), default=None)
        assert bitmap.self_or_previous(probe) == max((v for v in model if v <= probe), default=None)
        assert (probe in bitmap) == (probe in model)


def test_queries_on_small_and_boundary_sets(ext):
    empty = ext.Bitmap()
    assert empty.cardinality() == 0 and empty.empty()
    assert empty.first() is None and empty.last() is None
    assert empty.bool_array().shape == (0,)
    ordinal_error = r"^The ordinal value \[ 0\] is greater than the total cardinality$"
    with pytest.raises(RuntimeError, match=ordinal_error):
        empty.nth(0)

    pair = make(ext, {3, 5})
    assert pair.lower_cardinality(5) == 1
    assert pair.upper_cardinality(3) == 1 and pair.upper_cardinality(5) == 0
    assert pair.self_or_next(4) == 5 and pair.self_or_previous(4) == 3
    assert pair.self_or_next(6) is None
    assert pair.bool_array(False, False).tolist() == [False, False, False, True, False, True]

    high = make(ext, {SPAN + 1})
    assert high.first() == 4294967297 and high.nth(0) == 4294967297

    edges = make(ext, {0, SPAN - 1, SPAN, TOP})
    assert [edges.nth(i) for i in range(4)] == [0, SPAN - 1, SPAN, TOP]
    assert edges.lower_cardinality(SPAN) == 2 and edges.upper_cardinality(SPAN - 1) == 2
    assert edges.self_or_next(1) == SPAN - 1 and edges.self_or_previous(SPAN * 5) == SPAN
    assert edges.all(SPAN - 1, SPAN + 1) and not edges.all(SPAN - 2, SPAN + 1)
    assert edges.any(SPAN - 2, SPAN - 1) is False and edges.any(5, TOP) is True
    assert edges.all(9, 9) is True and edges.any(0, 0) is False
    with pytest.raises(RuntimeError, match=r"^The ordinal value \[ 4\] is greater"):
        edges.nth(4)

    whole_bucket = ext.Bitmap()
    whole_bucket.set(SPAN, 2 * SPAN)
    assert whole_bucket.all(SPAN, 2 * SPAN) and not whole_bucket.all(SPAN, 2 * SPAN + 1)
    assert whole_bucket.nth(SPAN - 1) == 2 * SPAN - 1
    assert len(whole_bucket) == SPAN

    small, big = make(ext, {1, SPAN}), make(ext, {1, SPAN, TOP})
    assert small.subset_of(big) and small.strict_subset_of(big)
    assert big.subset_of(big) and not big.strict_subset_of(big)
    assert not big.subset_of(small)


def test_ranges_slices_and_their_errors(ext):
    bitmap = ext.Bitmap()
    bitmap.set(10, 5)  # empty range
    bitmap.unset(10, 5)
    assert bitmap.empty()
    with pytest.raises(RuntimeError, match=r"^Invalid range\.$"):
        bitmap.flip(5, 5)
    bitmap.flip(5)
    assert list(bitmap) == [5]
    bitmap.flip(5)
    assert list(bitmap) == []

    bitmap.set(SPAN - 2, SPAN + 2)
    bitmap.set(TOP)
    assert list(bitmap.slice(SPAN - 1, SPAN)) == [SPAN - 1, SPAN]
    assert list(bitmap.slice(SPAN + 1, SPAN)) == []
    assert list(bitmap.slice(0, TOP)) == list(bitmap)
    with pytest.raises(RuntimeError, match=r"^Invalid range8589934592\.\.5$"):
        bitmap.slice(2 * SPAN, 5)

    with pytest.raises(TypeError):
        bitmap.set(-1)
    with pytest.raises(TypeError):
        bitmap.set(2**64)
    assert list(bitmap) == [SPAN - 2, SPAN - 1, SPAN, SPAN + 1, TOP]


def test_serialised_form_round_trips_in_both_formats(ext):
    bitmap = ext.Bitmap(np.arange(0, 300000, 3, dtype=np.uint64))
    bitmap.set(SPAN * 3, SPAN * 3 + 100000)
    bitmap.set(TOP)
    for portable in (True, False):
        size = bitmap.persisted_size(portable=portable)
        buffer = bytearray(size + 4)
        assert bitmap.write(buffer, portable=portable) == size
        assert buffer[size:] == bytearray(4)
        views = (bytes(buffer[:size]), memoryview(buffer)[:size],
                 np.frombuffer(bytes(buffer), np.uint8))
        for source in views:
            assert ext.Bitmap.read(source, portable=portable) == bitmap
    buffer = np.zeros(bitmap.persisted_size(), dtype=np.uint8)
    bitmap.write(buffer)
    assert ext.Bitmap.read(buffer) == bitmap

    assert bitmap.persisted_size(True, False, False) >= bitmap.persisted_size(True, True, True)
    assert bitmap.in_memory_size() > 0


def test_bad_buffers_are_refused_and_nothing_is_lost(ext):
    bitmap = make(ext, {1, 2, SPAN + 7, TOP})
    size = bitmap.persisted_size()
    with pytest.raises(ValueError, match="buffer too small"):
        bitmap.write(bytearray(size - 1))
    with pytest.raises(BufferError):
        bitmap.write(bytes(size))
    with pytest.raises(RuntimeError, match="^Item size should be 1$"):
        bitmap.write(np.zeros(size, dtype=np.uint64))
    with pytest.raises(RuntimeError, match="^Item size should be 1$"):
        ext.Bitmap.read(np.zeros(size, dtype=np.uint32))
    with pytest.raises(ValueError, match="contiguous"):
        bitmap.write(memoryview(bytearray(2 * size))[::2])
    assert list(bitmap) == [1, 2, SPAN + 7, TOP]

    image = bytearray(size)
    bitmap.write(image)
    for cut in range(size):
        with pytest.raises((ValueError, RuntimeError)):
            ext.Bitmap.read(bytes(image[:cut]))
    huge_count = (2**63).to_bytes(8, "little") + bytes(image[8:])
    with pytest.raises(ValueError):
        ext.Bitmap.read(huge_count)
    rng = random.Random(9)
    for _ in range(2000):
        damaged = bytearray(image)
        damaged[rng.randrange(size)] ^= 1 << rng.randrange(8)
        try:
            decoded = ext.Bitmap.read(damaged)
        except (ValueError, RuntimeError):
            continue
        assert len(list(decoded)) == len(decoded)


def test_constructor_arrays_and_numpy_results(ext):
    assert list(ext.Bitmap(np.array([5, 1, 5, TOP], dtype=np.uint64))) == [1, 5, TOP]
    assert list(ext.Bitmap(None)) == []
    assert list(ext.Bitmap(np.array([7, 2], dtype=np.uint32))) == [2, 7]
    assert list(ext.Bitmap(np.arange(20, dtype=np.uint64)[::4])) == [0, 4, 8, 12, 16]
    dimension_error = r"^array has incorrect number of dimensions: 2; expected 1$"
    with pytest.raises(ValueError, match=dimension_error):
        ext.Bitmap(np.zeros((2, 2), dtype=np.uint64))
    # Signed arrays (NumPy's default) are taken when non-negative; a negative value would
    # wrap to a huge address, so it is refused instead.
    assert list(ext.Bitmap(np.arange(3))) == [0, 1, 2]
    assert list(ext.Bitmap([4, 2])) == [2, 4]
    with pytest.raises(ValueError, match="non-negative, got -2"):
        ext.Bitmap(np.array([1, -2], dtype=np.int64))
    with pytest.raises(ValueError, match="non-negative"):
        ext.Bitmap([3, -1])

    bitmap = make(ext, {1, 3})
    assert bitmap.bool_array(False, False).tolist() == [False, True, False, True]
    assert bitmap.bool_array(True, True).tolist() == [False, True, False]
    assert bitmap.bool_array(invert=True).tolist() == [True, False, True, False]
    assert bitmap.bool_array(relative=True).dtype == np.bool_
    shifted = make(ext, {SPAN + 2, SPAN + 4})
    assert shifted.bool_array(relative=True).tolist() == [True, False, True]
    with pytest.raises(ValueError):
        make(ext, {TOP}).bool_array()  # 2^64 entries cannot exist

    indices = make(ext, {0, SPAN, TOP}).index_array()
    assert indices.dtype == np.uint64 and indices.tolist() == [0, SPAN, TOP]


def test_iteration_is_lazy_and_survives_changes(ext):
    bitmap = ext.Bitmap(np.arange(100_000, dtype=np.uint64))
    iterator = iter(bitmap)
    assert next(iterator) == 0
    bitmap.unset(50_000, 100_000)
    bitmap.set(SPAN)
    rest = list(iterator)
    assert rest[:3] == [1, 2, 3] and rest[-1] == SPAN  # later chunks see the change
    assert rest == list(range(1, 50_000)) + [SPAN]
    del bitmap
    bitmap = make(ext, {TOP})
    assert list(bitmap) == [TOP]
    iterator = iter(bitmap)
    del bitmap  # the iterator keeps its bitmap alive
    assert list(iterator) == [TOP] and list(iterator) == []


def test_copies_are_independent_and_operators_reject_strangers(ext):
    bitmap = make(ext, {1, SPAN})
    copy = bitmap.copy()
    copy.set(9)
    assert list(bitmap) == [1, SPAN] and list(copy) == [1, 9, SPAN]
    assert (bitmap == 5) is False and bitmap != copy
    with pytest.raises(TypeError):
        bitmap | {1}
    same = bitmap
    bitmap ^= bitmap
    assert same is bitmap and bitmap.empty()
    copy -= copy
    assert copy.empty()
    assert bitmap.union(copy).empty() and bitmap.inplace_union(make(ext, {4})) is bitmap


def test_index_array_of_ten_million_members_is_fast(ext):
    bitmap = ext.Bitmap(np.arange(0, 30_000_000, 3, dtype=np.uint64))
    assert len(bitmap) == 10_000_000
    start = time.perf_counter()
    indices = bitmap.index_array()
    elapsed = time.perf_counter() - start
    assert indices[0] == 0 and indices[-1] == 29_999_997 and len(indices) == 10_000_000
    assert elapsed < 1.0, f"index_array took {elapsed:.3f} s"
    start = time.perf_counter()
    mask = bitmap.bool_array()
    assert time.perf_counter() - start < 1.0 and mask.sum() == 10_000_000
