import base64

import pyarrow as pa


def test_test_table_round_trips_through_arrow(ext):
    table = pa.ipc.open_stream(base64.b64decode(ext.generate_test_arrow_as_b64_string())).read_all()
    assert table.schema.names == ["Day", "Month", "Year"]
    assert [f.type for f in table.schema] == [pa.int8(), pa.int8(), pa.int16()]
    assert all(f.nullable for f in table.schema)
    assert table.column("Day").to_pylist() == [1, 12, 17, 23, 28]
    assert table.column("Month").to_pylist() == [1, 3, 5, 7, 1]
    assert table.column("Year").to_pylist() == [1990, 2000, 1995, 2000, 1995]


def test_library_versions(ext):
    assert ext.simdjson_version() == "3.0.1" or ext.simdjson_version().count(".") == 2
    assert ext.simdjson_threaded() is True
    name, description = ext.simdjson_active_runtime()
    assert isinstance(name, str) and isinstance(description, str) and name
    major, minor, patch = ext.zmq_version()
    assert (major, minor) >= (4, 3)
