"""Queries through JSONStore next to DuckDB on the same JSON lines, in one run.

    PYTHONPATH=build/python .venv/bin/python bench/query_bench.py --megabytes 1024

Measures, on records from generate_records.py:
  - an indexed EQ scan matching 0.1% of the records (one `category` value) against a
    full scan of the same query (IN with the one value takes the full-scan path);
  - the full scan against simdjson alone finding the same field in the same payloads
    (build/scan_bench on the same file, run here);
  - extraction of 4 columns over 1 million records, in rows/s;
and DuckDB loading the same file, running the same filter and the same 4-column
extraction to Arrow.
"""
import argparse
import base64
import contextlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate_records  # noqa: E402

QUERY_VALUE = "cat-0042"
EXTRACT_ROWS = 1_000_000
SAVE_BYTES = 32 << 20  # each save pauses for 100 ms: large saves keep loading quick


@contextlib.contextmanager
def quiet_stdout():
    """Full scans list their matches on file descriptor 1; send them nowhere."""
    saved = os.dup(1)
    with open(os.devnull, "wb") as sink:
        os.dup2(sink.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def best_of(repeats, action):
    best, result = None, None
    for _ in range(repeats):
        started = time.perf_counter()
        result = action()
        elapsed = time.perf_counter() - started
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def ensure_data(path, megabytes):
    if path.exists() and path.stat().st_size >= megabytes * (1 << 20) * 0.99:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as output:
        for line in generate_records.generate_lines(megabytes=megabytes):
            output.write(line)


def quillmark_figures(ext, data_path, log_megabytes, figures):
    directory = tempfile.mkdtemp(prefix="quillmark-query-bench-", dir="/dev/shm")
    try:
        store = ext.JSONStore(log_megabytes << 20, directory + "/store", 0)
        store.projection("/category")
        started = time.perf_counter()
        records = 0
        with open(data_path, "rb") as source:
            while chunk := source.read(SAVE_BYTES):
                chunk += source.readline()  # whole lines only
                records += store.save(chunk)
        figures["quillmark load s (incl. 100 ms per save)"] = time.perf_counter() - started
        figures["records"] = records
        op = ext.ScanOperation
        with quiet_stdout():
            indexed_s, indexed = best_of(5, lambda: store.scan("/category", op.EQ, [QUERY_VALUE], None, None))
            full_s, full = best_of(3, lambda: store.scan("/category", op.IN, [QUERY_VALUE], None, None))
        assert list(indexed) == list(full), "indexed and full scans disagree"
        figures["matches"] = len(indexed)
        figures["quillmark indexed EQ ms"] = indexed_s * 1e3
        figures["quillmark full scan ms"] = full_s * 1e3
        figures["indexed speed-up"] = full_s / indexed_s

        with quiet_stdout():
            everything = store.scan("/bucket", op.GE, [0], None, None)
        addresses = np.fromiter(iter(everything), dtype=np.uint64, count=len(everything))[:EXTRACT_ROWS]
        selection = ext.Bitmap(addresses)
        extractor = ext.Extractor.record([
            ("id", ext.Extractor.Int("/id", True, 64, None, None, None)),
            ("category", ext.Extractor.String("/category", None)),
            ("score", ext.Extractor.Float("/score", 64, None, None, None)),
            ("active", ext.Extractor.Bool("/active")),
        ])
        extract_s, encoded = best_of(2, lambda: store.extract(extractor, selection))
        rows = pa.ipc.open_stream(base64.b64decode(encoded)).read_all().num_rows
        figures["quillmark extract rows"] = rows
        figures["quillmark extract rows/s"] = rows / extract_s
        del store
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def simdjson_figures(data_path, megabytes, figures):
    binary = HERE.parent / "build" / "scan_bench"
    if not binary.exists():
        figures["simdjson alone"] = "build/scan_bench missing (cmake --build build --target scan_bench)"
        return
    environment = dict(os.environ, QUILLMARK_SCAN_DATA=str(data_path), QUILLMARK_SCAN_MB=str(megabytes))
    output = subprocess.run([str(binary), "--benchmark_filter=FullScanEq|SimdjsonAlone", "--benchmark_format=json",
                             "--benchmark_min_time=1"], env=environment, capture_output=True, check=True, text=True)
    for entry in json.loads(output.stdout)["benchmarks"]:
        name = entry["name"].split("/")[0]
        figures[f"scan_bench {name} ms"] = entry["real_time"] if entry["time_unit"] == "ms" else entry["real_time"] / 1e6
        if "MB/s" in entry:
            figures[f"scan_bench {name} MB/s"] = entry["MB/s"]


def duckdb_figures(data_path, figures):
    import duckdb
    connection = duckdb.connect()
    connection.execute("SET threads TO 2")
    started = time.perf_counter()
    connection.execute(f"CREATE TABLE records AS SELECT * FROM read_json_auto('{data_path}', format='newline_delimited')")
    figures["duckdb load s"] = time.perf_counter() - started
    filter_s, matches = best_of(
        5, lambda: connection.execute("SELECT id FROM records WHERE category = ?", [QUERY_VALUE]).fetchall())
    figures["duckdb filter ms"] = filter_s * 1e3
    figures["duckdb matches"] = len(matches)
    def extract():
        result = connection.execute(f"SELECT id, category, score, active FROM records LIMIT {EXTRACT_ROWS}")
        # to_arrow_table in newer DuckDB releases, fetch_arrow_table in older ones
        return (getattr(result, "to_arrow_table", None) or result.fetch_arrow_table)()

    extract_s, table = best_of(2, extract)
    figures["duckdb extract rows/s"] = table.num_rows / extract_s


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=int, default=1024)
    parser.add_argument("--log-megabytes", type=int, default=2048,
                        help="log memory; below the data size, scans read from disk")
    parser.add_argument("--data", type=pathlib.Path, default=HERE / "data" / "records.jsonl")
    args = parser.parse_args()
    import _quillmark_rec_server_extension as ext

    ensure_data(args.data, args.megabytes)
    figures = {"data MB": args.data.stat().st_size / (1 << 20)}
    quillmark_figures(ext, args.data, args.log_megabytes, figures)
    simdjson_figures(args.data, args.megabytes, figures)
    duckdb_figures(args.data, figures)
    for name, value in figures.items():
        print(f"{name:45s} {value:,.2f}" if isinstance(value, float) else f"{name:45s} {value}")


if __name__ == "__main__":
    main()
