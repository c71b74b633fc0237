import base64
import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_factories_build_every_kind_with_its_type(ext):
    E = ext.Extractor
    kinds = [
        (E.Raw("/a"), ext.ExtractorType.Raw),
        (E.Bool("/a"), ext.ExtractorType.Bool),
        (E.String("/a", None), ext.ExtractorType.String),
        (E.String("/a", "C"), ext.ExtractorType.String),
        (E.Int("/a", True, 8, None, None, None), ext.ExtractorType.Int64),
        (E.Int("/a", False, 64, 7, "aux", "C"), ext.ExtractorType.Int64),
        (E.Float("/a", 32, None, None, None), ext.ExtractorType.Double),
        (E.Float("/a", 64, 0.5, "aux", None), ext.ExtractorType.Double),
        (E.Timestamp("/a", "ns", "aux2", "2020-01-01T00:00:00Z", "aux", None), ext.ExtractorType.Timestamp),
        (E.Time("/a", "s", None, None, None), ext.ExtractorType.Time),
        (E.Date("/a", "d", "2020-01-01", None, None), ext.ExtractorType.Date),
        (E.Date("/a", "ms", None, None, None), ext.ExtractorType.Date),
        (E.Duration("/a", "us", "PT1S", None, None), ext.ExtractorType.Duration),
    ]
    for extractor, kind in kinds:
        assert isinstance(extractor, E)
        assert extractor.type == kind
        assert extractor.type == getattr(ext, kind.name)
    record = E.record([(f"c{i}", extractor) for i, (extractor, _) in enumerate(kinds)])
    assert record.type == ext.ExtractorType.Record == ext.Record
    assert E.record([]).type == ext.Record
    # The property is read-only and the class is built only through its factories.
    with pytest.raises(AttributeError):
        record.type = ext.Raw
    with pytest.raises(TypeError):
        E()


def test_refused_arguments_raise_clear_errors(ext):
    E = ext.Extractor
    refused = [
        (lambda: E.Int("/a", True, 12, None, None, None), "Invalid width specification for an integer"),
        (lambda: E.Int("/a", True, 0, None, None, None), "Invalid width specification for an integer"),
        (lambda: E.Float("/a", 16, None, None, None), "Invalid width specification for a floating point value"),
        (lambda: E.Timestamp("/a", "d", None, None, None, None), "Invalid time resolution specification"),
        (lambda: E.Time("/a", "min", None, None, None), "Invalid time resolution specification"),
        (lambda: E.Duration("/a", "", None, None, None), "Invalid time resolution specification"),
        (lambda: E.Date("/a", "s", None, None, None), "Invalid time resolution specification"),
        (lambda: E.Int("/a", True, 8, 128, None, None), "Default value does not fit the integer column"),
        (lambda: E.Int("/a", False, 32, -1, None, None), "Default value does not fit the integer column"),
        (lambda: E.Float("/a", 64, None, None, "xx_NOWHERE.UTF-8"), "bad locale name"),
        (lambda: E.record([("a", E.Raw("/a")), ("inner", E.record([("b", E.Raw("/b"))]))]),
         "A record extractor cannot be a column; give its columns directly"),
        (lambda: E.record([("a", None)]), "Column extractor is missing"),
    ]
    for make, message in refused:
        with pytest.raises(RuntimeError) as error:
            make()
        assert str(error.value) == message

    # Wrong argument types and counts are the binding's TypeError; arguments are positional.
    for call in [lambda: E.Raw(3), lambda: E.Int("/a", True, "8", None, None, None),
                 lambda: E.Int("/a", True, 8), lambda: E.Float("/a", 2 ** 70, None, None, None),
                 lambda: E.record([("a", "not an extractor")]), lambda: E.record(E.Raw("/a")),
                 lambda: E.Raw(field="/a")]:
        with pytest.raises(TypeError):
            call()


def test_extraction_stream_reads_back_with_pyarrow(tmp_path):
    pa = pytest.importorskip("pyarrow")
    binary = os.path.join(ROOT, "build", "extractor_test")
    if not os.path.exists(binary):
        pytest.skip("extractor_test is not built")
    dump = tmp_path / "table.b64"
    subprocess.run([binary, "--gtest_filter=*Base64StreamReadsBack*"], check=True, capture_output=True,
                   env={**os.environ, "QUILLMARK_EXTRACTION_DUMP": str(dump)})
    table = pa.ipc.open_stream(base64.b64decode(dump.read_text())).read_all()

    expected_types = {"raw": pa.int64(), "bool": pa.bool_(), "string": pa.string(), "i8": pa.int8(),
                      "u16": pa.uint16(), "i32": pa.int32(), "u64": pa.uint64(), "f32": pa.float32(),
                      "f64": pa.float64(), "timestamp_us": pa.int64(), "time_ms": pa.int32(),
                      "date_d": pa.int64(), "duration_s": pa.int64()}
    assert {field.name: field.type for field in table.schema} == expected_types
    assert all(field.nullable for field in table.schema)
    assert table.to_pydict() == {
        "raw": [1, 2, 0],
        "bool": [True, False, False],
        "string": ["a", "7", "null"],
        "i8": [-1, -3, 0],
        "u16": [200, None, 0],
        "i32": [200, -3, 0],
        "u64": [200, None, 0],
        "f32": [0.5, None, 0.0],
        "f64": [0.5, 0.1, 0.0],
        "timestamp_us": [1577836800000001, 1500000, None],
        "time_ms": [3600000, 1000, None],
        "date_d": [18262, 10957, 10957],
        "duration_s": [3600, 90, None],
    }
