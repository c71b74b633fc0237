"""The record server next to what users would otherwise use, side by side in one run.

    make bench                                    # about 1 GB of generated records + airports
    PYTHONPATH=build/python .venv/bin/python bench/run.py --megabytes 64
    PYTHONPATH=build/python .venv/bin/python bench/run.py --sections memory-disk   # bench/data/results-memory-disk.md

Sections (--sections, comma-separated; all by default):
- ingestion: direct `save` and the ZeroMQ service against simdjson alone and DuckDB's load;
- in-memory: indexed and full-scan queries, extraction, snapshot and recovery against DuckDB;
- memory-disk: the same records in a store whose log fits in memory and in one with the
  smallest log memory (192 MiB), next to the device's read bandwidth and 4 KiB latency;
- requests: single-record requests over ZeroMQ against pyzmq echo servers.

Contenders, each measured in a process of its own so that its peak memory is its own:
- quillmark: this system through its Python module (direct `save` with the projections
  in place, the ZeroMQ service with 1 and 2 workers, indexed and full-scan queries,
  extraction of 4 columns, snapshot, and recovery in a fresh process).
- DuckDB: loads the same JSON lines, runs the same filters and extracts the same columns
  to Arrow.
- simdjson alone: build/insert_bench and build/scan_bench parse the same records and look up
  the same fields; the practical limit for ingestion and full scans.
- the device: a large sequential O_DIRECT write and read, the limit for snapshots, recovery and
  full scans from disk; and 4 KiB O_DIRECT random reads one at a time, the cost of one read below
  the log's head.

Writes bench/results.md (Markdown) and bench/results.png (chart).
"""
import argparse
import json
import mmap
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import memory_disk  # noqa: E402  (bench/ is on the path from here on)
import single_requests  # noqa: E402

MiB = 1 << 20
BATCH_BYTES = 8 * MiB           # direct saves and service requests are cut at line ends near this
DIRECT_LINE = re.compile(r"Direct save operation: \d+ bytes and \d+ records in ([0-9.e+-]+)")
RECOVER_PAUSE = 1.0             # `recover` sleeps this long after starting its workers
QUERY_REPEATS = 5

SECTIONS = ("ingestion", "in-memory", "memory-disk", "requests")
SMALLEST_LOG = 192 * MiB         # the store's minimum log memory (6 pages of 32 MiB)
READ_PROBES = 2000               # 4 KiB reads timed for the device's read latency
DEVICE_READ_PASSES = 3           # sequential reads of the probe file; the fastest counts

# What each data set is asked. Fields are JSON pointers; DuckDB gets the same names as columns.
# Targets: figure key -> [(against, threshold)], where `against` is "limit" (quillmark's share
# of the limit column) or "duckdb" (quillmark against DuckDB, above 1: quillmark is better).
GENERATED = {
    "name": "generated",
    "indexed": [["/category", "cat-0042"], ["/bucket", 42]],
    "full_scan": ["/id", 42],
    "extract_from": ["/bucket", list(range(10))],
    "columns": [["id", "Int"], ["category", "String"], ["score", "Float"], ["active", "Bool"]],
    "every_record": ["/bucket", 0],       # a full scan that lists every record
    "records_per_batch": None,
    "targets": {"direct": [("limit", 0.60), ("duckdb", 2.0)], "service2": [("limit", 0.45)],
                "indexed1": [("duckdb", 1.0)], "extract_all": [("duckdb", 2.0)]},
}
AIRPORTS = {
    "name": "airports",
    "indexed": [["/country", "NZ"], ["/tz", "Europe/Paris"]],
    "full_scan": ["/iata", "SFO"],
    "extract_from": ["/country", ["US", "CA"]],
    "columns": [["icao", "String"], ["name", "String"], ["elevation_m", "Int"], ["lat", "Float"]],
    "every_record": ["/elevation_m", -100000],
    # Saved and sent in batches of 1,000 records; the service's limit is the direct save.
    "records_per_batch": 1000,
    "targets": {"service2": [("limit", 0.50)]},
}


# ---------------------------------------------------------------------------------------------
# Data

def generated_file(data_directory, megabytes):
    """The generated records, cached in bench/data by size."""
    from generate_records import generate_lines
    path = os.path.join(data_directory, f"records-{megabytes:g}MB.jsonl")
    if not os.path.exists(path):
        progress(f"generating {megabytes:g} MB of records into {path} (cached for later runs)")
        with open(path + ".partial", "wb") as out:
            for line in generate_lines(megabytes=megabytes):
                out.write(line)
        os.replace(path + ".partial", path)
    return path


def airports_file(data_directory, limit):
    from airports import airport_lines
    path = os.path.join(data_directory, f"airports-{limit or 'all'}.jsonl")
    if not os.path.exists(path):
        lines = airport_lines()
        with open(path + ".partial", "wb") as out:
            out.writelines(lines[:limit] if limit else lines)
        os.replace(path + ".partial", path)
    return path


def read_batches(path, records_per_batch=None):
    """The file's JSON lines cut into batches of about BATCH_BYTES (or of `records_per_batch`
    records), each ending at a line end."""
    batches, records = [], 0
    if records_per_batch:
        with open(path, "rb") as data:
            lines = data.readlines()
        batches = [b"".join(lines[i:i + records_per_batch]) for i in range(0, len(lines), records_per_batch)]
        return batches, len(lines)
    with open(path, "rb") as data:
        rest = b""
        while True:
            chunk = data.read(BATCH_BYTES)
            if not chunk:
                break
            chunk = rest + chunk
            cut = chunk.rfind(b"\n") + 1
            batches.append(chunk[:cut])
            rest = chunk[cut:]
        if rest.strip():
            batches.append(rest)
    for batch in batches:
        records += batch.count(b"\n")
    return batches, records


def progress(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Contenders, each run as `run.py --child NAME CONFIG RESULT`

def child_quillmark(config):
    import quillmark
    import ingestion_throughput

    # The package is quiet by default; the direct-save figure is read from the store's
    # info lines ("Direct save operation: ... in <seconds>").
    quillmark.set_log_level("info")

    # The server logs to standard output (and a full scan prints its matches there): keep
    # that out of the terminal and out of the timings' way.
    log_path = config["work"] + "/server.log"
    log = open(log_path, "ab")
    os.dup2(log.fileno(), 1)

    batches, records = read_batches(config["data"], config["records_per_batch"])
    size = sum(map(len, batches))
    log_size = max(256 * MiB, 1 << int(size * 1.25).bit_length())
    result = {"bytes": size, "records": records}
    directory = os.path.join(config["work"], "store")
    store = quillmark.JSONStore(log_size, directory, free_port())

    for field, _ in config["indexed"]:
        store.projection(field)
    before = os.path.getsize(log_path)
    for batch in batches:
        store.save(batch)
    log.flush()
    with open(log_path, "rb") as text:
        text.seek(before)
        times = [float(t) for t in DIRECT_LINE.findall(text.read().decode(errors="replace"))]
    assert store.stats()[1] == records, (store.stats(), records)
    result["ingest_direct_s"] = sum(times)

    if "in-memory" not in config["sections"]:
        del store
    else:
        result.update(query_quillmark(store, config, quillmark))
        started = time.perf_counter()
        tokens = store.snapshot()
        result["snapshot_s"] = time.perf_counter() - started
        result["log_bytes"] = log_bytes(store.end_address)
        result["tokens"] = [str(tokens["index"]["token"]), str(tokens["log"]["token"])]
        del store
    if "ingestion" not in config["sections"]:
        return result

    # The service, fed by a client in another process; a fresh store for each worker count.
    ingestion_throughput.LOG_SIZE = log_size
    for workers in (1, 2):
        seconds, failed, inserted = ingestion_throughput.service(batches, config["work"], workers, 8,
                                                                  [field for field, _ in config["indexed"]])
        assert failed == 0 and inserted == records, (failed, inserted, records)
        result[f"ingest_service{workers}_s"] = seconds
    return result


def query_quillmark(store, config, quillmark):
    operation = quillmark.ScanOperation.EQ
    result = {}
    for number, (field, value) in enumerate(config["indexed"]):
        latencies = []
        for _ in range(QUERY_REPEATS):
            started = time.perf_counter()
            matches = store.scan(field, operation, [value], None, None)
            latencies.append(time.perf_counter() - started)
        result[f"indexed{number}_s"] = statistics.median(latencies)
        result[f"indexed{number}_matches"] = len(matches)

    field, value = config["full_scan"]
    started = time.perf_counter()
    matches = store.scan(field, operation, [value], None, None)
    result["full_scan_s"] = time.perf_counter() - started
    result["full_scan_matches"] = len(matches)

    field, values = config["extract_from"]
    rows = store.scan(field, operation, [values[0]], None, None)
    for value in values[1:]:
        rows = rows | store.scan(field, operation, [value], None, None)
    extractor = quillmark.Extractor.record([(name, column_extractor(quillmark.Extractor, name, kind))
                                            for name, kind in config["columns"]])
    started = time.perf_counter()
    table = store.extract_arrow(extractor, rows)
    result["extract_s"] = time.perf_counter() - started
    result["extract_rows"] = table.num_rows if table is not None else 0

    # Every record, against DuckDB reading the same JSON lines straight into Arrow.
    field, lowest = config["every_record"]
    everything = store.scan(field, quillmark.ScanOperation.GE, [lowest], None, None)
    started = time.perf_counter()
    table = store.extract_arrow(extractor, everything)
    result["extract_all_s"] = time.perf_counter() - started
    result["extract_all_rows"] = table.num_rows if table is not None else 0
    return result


def column_extractor(Extractor, name, kind):
    field = "/" + name
    if kind == "Int":
        return Extractor.Int(field, True, 64, None, None, None)
    if kind == "Float":
        return Extractor.Float(field, 64, None, None, None)
    if kind == "String":
        return Extractor.String(field, None)
    return Extractor.Bool(field)


def child_quillmark_recovery(config):
    """Recovers the store the quillmark child snapshotted and asks it the same questions."""
    import quillmark
    log = open(config["work"] + "/server.log", "ab")
    os.dup2(log.fileno(), 1)
    _, records = read_batches(config["data"])
    size = os.path.getsize(config["data"])
    log_size = max(256 * MiB, 1 << int(size * 1.25).bit_length())
    store = quillmark.JSONStore(log_size, os.path.join(config["work"], "store"), free_port())
    store.set_listen_address("127.0.0.1")
    index_token, log_token = config["tokens"]
    started = time.perf_counter()
    store.recover(index_token, log_token, 1)
    result = {"recover_s": time.perf_counter() - started - RECOVER_PAUSE}
    store.stop()
    # The recovered store knows its projections again: the queries take the same paths.
    result.update(query_quillmark(store, config, quillmark))
    return result


def child_duckdb(config):
    import duckdb
    connection = duckdb.connect()
    size = os.path.getsize(config["data"])
    started = time.perf_counter()
    connection.execute("CREATE TABLE records AS SELECT * FROM read_json(?, format = 'newline_delimited')",
                       [config["data"]])
    result = {"bytes": size, "ingest_s": time.perf_counter() - started,
              "records": connection.execute("SELECT count(*) FROM records").fetchone()[0]}
    if "in-memory" not in config["sections"]:
        return result

    def arrow(sql, parameters):
        return connection.execute(sql, parameters).arrow().read_all()

    for number, (field, value) in enumerate(config["indexed"]):
        latencies = []
        for _ in range(QUERY_REPEATS):
            started = time.perf_counter()
            table = arrow(f'SELECT rowid FROM records WHERE "{field[1:]}" = ?', [value])
            latencies.append(time.perf_counter() - started)
        result[f"indexed{number}_s"] = statistics.median(latencies)
        result[f"indexed{number}_matches"] = table.num_rows

    field, value = config["full_scan"]
    started = time.perf_counter()
    table = arrow(f'SELECT rowid FROM records WHERE "{field[1:]}" = ?', [value])
    result["full_scan_s"] = time.perf_counter() - started
    result["full_scan_matches"] = table.num_rows

    field, values = config["extract_from"]
    columns = ", ".join(f'"{name}"' for name, _ in config["columns"])
    started = time.perf_counter()
    table = arrow(f'SELECT {columns} FROM records WHERE "{field[1:]}" IN (SELECT unnest(?))', [values])
    result["extract_s"] = time.perf_counter() - started
    result["extract_rows"] = table.num_rows

    # The same columns of every record, from the JSON lines straight into Arrow (no table).
    started = time.perf_counter()
    table = arrow(f"SELECT {columns} FROM read_json(?, format = 'newline_delimited')", [config["data"]])
    result["extract_all_s"] = time.perf_counter() - started
    result["extract_all_rows"] = table.num_rows
    return result


def child_simdjson(config):
    """Runs the C++ benchmarks that time simdjson alone (and the engine beside it) on the data."""
    result = {}
    build = os.path.join(ROOT, "build")
    insert = os.path.join(build, "insert_bench")
    if os.path.exists(insert) and "ingestion" in config["sections"]:
        environment = dict(os.environ, QUILLMARK_INSERT_DATA=config["data"])
        for entry in google_benchmark(insert, "projections:2/", environment):
            name = entry["name"].split("/")[0].removeprefix("BM_")
            threads = re.search(r"threads:(\d+)", entry["name"]).group(1)
            result[f"{name}{threads}_mbps"] = entry["MB/s"]
    scan = os.path.join(build, "scan_bench")
    if os.path.exists(scan) and config["name"] == "generated" and "in-memory" in config["sections"]:
        megabytes = max(1, int(os.path.getsize(config["data"]) / MiB + 1))
        environment = dict(os.environ, QUILLMARK_SCAN_DATA=config["data"], QUILLMARK_SCAN_MB=str(megabytes))
        for entry in google_benchmark(scan, "FullScanEq|SimdjsonAlone", environment):
            result[entry["name"].removeprefix("BM_") + "_mbps"] = entry.get("MB/s")
    return result


def google_benchmark(binary, pattern, environment):
    output = subprocess.run([binary, f"--benchmark_filter={pattern}", "--benchmark_format=json"],
                            env=environment, cwd=ROOT, capture_output=True, text=True, timeout=1800,
                            check=True).stdout
    return [entry for entry in json.loads(output)["benchmarks"] if "MB/s" in entry]


def child_device(config):
    """Sequential O_DIRECT write then reads of `bytes` in 8 MiB requests, beside the stores,
    then 4 KiB random reads."""
    total = max(64 * MiB, min(config["bytes"], 1 << 30)) // BATCH_BYTES * BATCH_BYTES
    path = os.path.join(config["work"], "device-probe")
    buffer = mmap.mmap(-1, BATCH_BYTES)  # page-aligned, as O_DIRECT needs
    buffer.write(os.urandom(MiB) * (BATCH_BYTES // MiB))
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_DIRECT, 0o600)
    started = time.perf_counter()
    for _ in range(total // BATCH_BYTES):
        os.write(descriptor, buffer)
    os.fsync(descriptor)
    write_s = time.perf_counter() - started
    os.close(descriptor)
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECT)
    read_s = None
    for _ in range(DEVICE_READ_PASSES):  # the best pass: the device is shared with other work
        os.lseek(descriptor, 0, os.SEEK_SET)
        started = time.perf_counter()
        while os.readv(descriptor, [buffer]) > 0:
            pass
        elapsed = time.perf_counter() - started
        read_s = elapsed if read_s is None else min(read_s, elapsed)
    latencies = memory_disk.random_read_latencies(descriptor, total, READ_PROBES)
    os.close(descriptor)
    os.unlink(path)
    return {"write_mbps": total / MiB / write_s, "read_mbps": total / MiB / read_s,
            "read_latency_s": statistics.mean(latencies), "read_latency_median_s": statistics.median(latencies)}


def child_memory_disk(config):
    return memory_disk.child(config, read_batches, column_extractor, free_port)


def child_requests(config):
    return single_requests.child(config, free_port)


CHILDREN = {"quillmark": child_quillmark, "quillmark-recovery": child_quillmark_recovery,
            "duckdb": child_duckdb, "simdjson": child_simdjson, "device": child_device,
            "memory-disk": child_memory_disk, "requests": child_requests}


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def log_bytes(address):
    """Bytes of log below `address` (page in bits 25 and up, offset in bits 0 to 24)."""
    return (address >> 25) * (1 << 25) + (address & ((1 << 25) - 1))


def run_child(name, config):
    """Runs one contender in its own process; returns its figures and its peak resident memory."""
    with tempfile.NamedTemporaryFile("r", suffix=".json") as result:
        command = [sys.executable, os.path.abspath(__file__), "--child", name, json.dumps(config), result.name]
        process = subprocess.Popen(command, cwd=ROOT)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError(f"the {name} contender failed with exit code {process.returncode}")
        figures = json.load(result)
    figures["peak_mb"] = usage.ru_maxrss / 1024  # ru_maxrss is in KiB on Linux
    return figures


# ---------------------------------------------------------------------------------------------
# Report

def ratio(value, reference):
    if value is None or not reference:
        return ""
    return f"{value / reference:.2f}"


def number(value, unit=""):
    if value is None:
        return "n/a"
    if value >= 100:
        return f"{value:,.0f}{unit}"
    return f"{value:.3g}{unit}"


def table(header, rows):
    return ["| " + " | ".join(header) + " |", "|---" + "|---:" * (len(header) - 1) + "|"] + \
        ["| " + " | ".join(row) + " |" for row in rows]


def verdict(values):
    """The result column for (value, threshold, higher is better) triples: pass, or miss by how much."""
    values = [entry for entry in values if entry[0] is not None]
    if not values:
        return ""
    misses = [f"{value:,.0f} for {threshold:g}" if value >= 100 else f"{value:.3g} for {threshold:g}"
              for value, threshold, higher in values
              if (value < threshold if higher else value > threshold)]
    return "miss: " + "; ".join(misses) if misses else "pass"


def figures_for(dataset, quill, recovered, duck, simd, device):
    """(ingestion rows, in-memory rows), each row a dict: key, figure, higher (is better),
    quill, duck, limit, limit_name."""
    megabytes = quill["bytes"] / MiB
    records = quill["records"]
    ingestion, queries = [], []

    def rate(seconds, amount):
        return amount / seconds if seconds else None

    def add(rows, key, figure, higher, quill_value, duck_value, limit=None, limit_name=""):
        rows.append(dict(key=key, figure=figure, higher=higher, quill=quill_value, duck=duck_value, limit=limit,
                         limit_name=limit_name))

    if "ingest_service1_s" in quill:
        ingest_limit = simd.get("SimdjsonLimit1_mbps")
        duck_rate = rate(duck["ingest_s"], megabytes)
        direct = rate(quill["ingest_direct_s"], megabytes)
        add(ingestion, "direct", "MB/s, direct save, 2 projections", True, direct, duck_rate, ingest_limit,
            "simdjson, 1 thread")
        add(ingestion, "direct_records", "records/s, direct save", True, rate(quill["ingest_direct_s"], records),
            rate(duck["ingest_s"], duck["records"]),
            ingest_limit * records / megabytes if ingest_limit else None, "simdjson, 1 thread")
        if "Insert1_mbps" in simd:
            add(ingestion, "engine", "MB/s, the engine from C++ (insert_bench), 2 projections", True,
                simd["Insert1_mbps"], None, ingest_limit, "simdjson, 1 thread")
        batching = f"{dataset['records_per_batch']:,}-record batches" if dataset["records_per_batch"] else \
            f"{BATCH_BYTES // MiB} MiB batches"
        for workers in (1, 2):
            if dataset["records_per_batch"]:
                limit, limit_name = direct, "direct save, same batches"
            else:
                limit, limit_name = simd.get(f"SimdjsonLimit{workers}_mbps"), f"simdjson, {workers} thread(s)"
            add(ingestion, f"service{workers}", f"MB/s, ZeroMQ, {workers} worker(s), {batching}", True,
                rate(quill[f"ingest_service{workers}_s"], megabytes), duck_rate, limit, limit_name)

    for number_, (field, value) in enumerate(dataset["indexed"]):
        key = f"indexed{number_}"
        if f"{key}_s" in quill:
            share = quill[f"{key}_matches"] / records
            add(queries, key, f"indexed EQ {field} = {value!r} ({share:.2%} of records), ms", False,
                quill[f"{key}_s"] * 1e3, duck[f"{key}_s"] * 1e3)
    if "full_scan_s" in quill:
        field, value = dataset["full_scan"]
        add(queries, "full_scan", f"full scan {field} = {value!r}, MB/s", True, rate(quill["full_scan_s"], megabytes),
            rate(duck["full_scan_s"], megabytes), simd.get("SimdjsonAlone_mbps"), "simdjson alone")
    if "extract_s" in quill:
        add(queries, "extract", f"extraction of 4 columns, rows/s ({quill['extract_rows']:,} rows; DuckDB from "
            "its table)", True, rate(quill["extract_s"], quill["extract_rows"]),
            rate(duck["extract_s"], duck["extract_rows"]))
        add(queries, "extract_all", f"extraction of 4 columns, every record, rows/s ({quill['extract_all_rows']:,} "
            "rows; DuckDB: read_json into Arrow)", True, rate(quill["extract_all_s"], quill["extract_all_rows"]),
            rate(duck["extract_all_s"], duck["extract_all_rows"]))
    if "snapshot_s" in quill:
        log_megabytes = quill["log_bytes"] / MiB
        add(queries, "snapshot", "snapshot MB/s (log)", True, rate(quill["snapshot_s"], log_megabytes), None,
            device and device["write_mbps"], "device O_DIRECT write")
    if recovered:
        add(queries, "recovery", "recovery MB/s (log)", True, rate(recovered["recover_s"], quill["log_bytes"] / MiB),
            None, device and device["read_mbps"], "device O_DIRECT read")
    add(queries, "peak", "peak memory, MB", False, quill["peak_mb"], duck["peak_mb"], simd.get("peak_mb"),
        "C++ benchmark process")
    return ingestion, queries


def contender_table(rows, targets):
    lines = []
    for row in rows:
        quill, duck, limit = row["quill"], row["duck"], row["limit"]
        versus = "" if duck is None else (ratio(quill, duck) if row["higher"] else ratio(duck, quill))
        share = ratio(quill, limit) if limit and row["higher"] else ""
        checks, texts = [], []
        for against, threshold in targets.get(row["key"], []):
            if against == "limit":
                texts.append(f"≥ {threshold:.0%} of limit")
                checks.append((quill / limit if quill and limit else None, threshold, True))
            else:
                texts.append(f"≥ {threshold:g}× DuckDB")
                checks.append((float(versus) if versus else None, threshold, True))
        lines.append([row["figure"], number(quill), number(duck),
                      f"{number(limit)} ({row['limit_name']})" if limit else "", versus, share,
                      "; ".join(texts), verdict(checks)])
    return table(["figure", "quillmark", "DuckDB", "limit", "vs best", "vs limit", "target", "result"], lines)


def quotient(value, reference):
    return value / reference if value and reference else None


def memory_disk_rows(memory, disk, device):
    """Rows of (figure, in memory, on disk, reference, ratio, target, result, relative speed,
    target's relative speed); relative speeds (1: as fast as the reference) feed the chart."""
    rows = []
    megabytes = disk["log_bytes"] / MiB

    def add(label, figure, memory_text, disk_text, reference, value, threshold, higher, target_text):
        if value is None:   # nothing below the head (or no rows): nothing to compare
            rows.append((figure, memory_text, disk_text, reference, "n/a", target_text, "", None, None, label))
            return
        if threshold is None:   # a comparison without a target
            result, speed, goal = "", value if higher else 1 / value, None
        else:
            result = verdict([(value, threshold, higher)])
            speed, goal = (value, threshold) if higher else (1 / value, 1 / threshold)
        rows.append((figure, memory_text, disk_text, reference, f"{value:.2f}", target_text, result, speed, goal,
                     label))

    hops = f"{disk['query_matches']:,} hops, {disk['hops_below_head']:,} below the head"
    add("indexed EQ 0.1%, repeated", f"indexed EQ 0.1% ({hops}), median of {memory_disk.REPEATS}, ms",
        number(memory["warm_s"] * 1e3), number(disk["warm_s"] * 1e3), "",
        quotient(disk["warm_s"], memory["warm_s"]), 10, False, "disk / memory ≤ 10")
    if "page_cache_reads_s" in disk:
        # The store keeps its own read cache rather than reading through the operating
        # system's: this is what the page cache would cost the same repeated query.
        add("repeated EQ 0.1%: read cache vs page cache",
            f"the same query's {disk['blocks_needed']:,} blocks read by buffered pread from a warm page cache "
            "(reads alone), ms", "", number(disk["page_cache_reads_s"] * 1e3), "the store's read cache above",
            quotient(disk["page_cache_reads_s"], disk["warm_s"]), None, True, "page cache / read cache")
    latency = disk.get("log_read_latency_s", device["read_latency_s"])
    estimate = disk["blocks_needed"] * latency
    counted = f"; the store counted {disk['cold_device_reads']:,}" if "cold_device_reads" in disk else ""
    add("indexed EQ 0.1%, cold, vs reads x latency", "indexed EQ 0.1%, first run after eviction, ms",
        number(memory["cold_s"] * 1e3), number(disk["cold_s"] * 1e3),
        f"{disk['blocks_needed']:,} reads × {latency * 1e6:.0f} µs = {number(estimate * 1e3)} ms"
        + counted, quotient(disk["cold_s"], estimate), 1.5, False, "disk / (reads × latency) ≤ 1.5")
    for name, share, threshold in (("few", "0.1%", 0.25), ("quarter", "25%", 0.5)):
        memory_rate = quotient(memory[f"extract_{name}_rows"], memory[f"extract_{name}_s"])
        disk_rate = quotient(disk[f"extract_{name}_rows"], disk[f"extract_{name}_s"])
        add(f"extraction, {share} bitmap",
            f"extraction of 4 columns from a {share} bitmap ({disk[f'extract_{name}_rows']:,} rows), rows/s",
            number(memory_rate), number(disk_rate), "", quotient(disk_rate, memory_rate), threshold, True,
            f"disk / memory ≥ {threshold:g}")
    memory_rate = memory["log_bytes"] / MiB / memory["scan_few_s"]
    disk_rate = megabytes / disk["scan_few_s"]
    reference = min(device["read_mbps"], memory_rate)
    add("full scan, few matches, vs device or memory", "full scan, few matches, MB/s of log",
        number(memory_rate), number(disk_rate), f"{number(reference)} MB/s (lower of device read and memory)",
        quotient(disk_rate, reference), 0.7, True, "disk / reference ≥ 0.7")
    add("full scan, 25% matches", "full scan, 25% matches, s", number(memory["scan_quarter_s"]),
        number(disk["scan_quarter_s"]), "", quotient(disk["scan_quarter_s"], memory["scan_quarter_s"]), 2, False,
        "disk / memory ≤ 2")
    return rows


def memory_disk_checks(memory, disk):
    lines = []
    for key in ANSWERS:
        if memory[key] != disk[key]:
            lines.append(f"**Different answers**: {key} differs between the two stores.")
    if memory["rounds_disagree"] or disk["rounds_disagree"]:
        lines.append("**Different answers**: a store gave another answer in a later round.")
    if not lines:
        lines.append("Both stores gave the same matches and byte-identical Arrow streams.")
    if disk.get("bitmaps_warm"):
        lines.append("**The stores' addresses differed**: the extraction bitmaps were built by queries on the "
                     "store on disk, so its extractions read records those queries had read already.")
    times = disk["log_bytes"] / disk["log_size"]
    lines.append(f"The log on disk is {times:.1f}× its memory" + (" (**below the 5× intended**: use a larger "
                 "--disk-megabytes)." if times < 5 else "."))
    lines.append(device_reads_line(disk))
    return lines


def device_reads_line(disk):
    """What the store on disk had the device read in each timed step, per unit of work."""
    def per(units, unit):
        return lambda read: f" ({read / 1024 / units:,.1f} KiB per {unit})" if units else ""

    def of_log(read):
        return f" ({read / disk['log_bytes']:.2f}× the log)"

    steps = [("cold", "the cold query", per(disk["hops_below_head"], "hop below the head")),
             ("extract_few", "extraction from the 0.1% bitmap", per(disk["extract_few_rows"], "row")),
             ("extract_quarter", "from the 25% bitmap", per(disk["extract_quarter_rows"], "row")),
             ("scan_few", "the full scan with few matches", of_log),
             ("scan_quarter", "with 25% matches", of_log)]
    parts = [f"{label} {disk[f'{step}_device_bytes'] / MiB:,.1f} MiB" + describe(disk[f"{step}_device_bytes"])
             for step, label, describe in steps if f"{step}_device_bytes" in disk]
    if not parts:
        return ""
    return ("Read from the device by the store on disk (its process's read_bytes in /proc/self/io): "
            + "; ".join(parts) + ".")


def requests_rows(figures):
    store = figures["store_rps"]
    window = figures["window"]
    return [(f"the store's service, 2 workers, {window} requests in flight", store, store,
             figures["store_client_busy"]),
            ("pyzmq REQ/REP echo, one request at a time", figures["echo_rps"], store, figures["echo_client_busy"]),
            (f"pyzmq ROUTER echo, DEALER client, {window} in flight", figures["echo_pipelined_rps"], store,
             figures["echo_pipelined_client_busy"])]


HOW_MEASURED = {
    "ingestion": "Direct save: the engine work of each `save` (from its log line, without its fixed 100 ms pause), "
                 "summed. ZeroMQ: a client in another process keeps 8 batches in flight to the service on loopback; "
                 "wall time from the first send to the last reply. The airports are saved and sent in "
                 "1,000-record batches, and their ZeroMQ limit is the direct save of the same batches. simdjson "
                 "limits: build/insert_bench parsing the same records and finding the same fields.",
    "in-memory": f"Query latencies are medians of {QUERY_REPEATS} runs on the loaded stores. \"every record\": "
                 "quillmark extracts the 4 columns of every record (a bitmap from a full scan, not timed) into an "
                 "Arrow table with `extract_arrow` (as every quillmark extraction here: `extract`'s Base64 text of "
                 "the same table is for the wire, not for Python); DuckDB runs `SELECT` of the same 4 columns `FROM read_json(file)` into Arrow, parsing "
                 "the JSON lines itself, with its default threads. Snapshot and recovery MB/s are bytes of log "
                 "covered per second: pages the log already flushed while ingesting are not written again, so a "
                 "snapshot can pass the device; the recovery time leaves out `recover`'s fixed 1 s pause.",
    "memory-disk": "Two stores, each in a process of its own, load the same records with a projection on "
                   "`/category`: one whose log memory holds them all, one with the smallest log memory (192 MiB). "
                   "The two run alternately, a fresh store each time (--rounds, 2 by default), and each time "
                   "shown is the best of its rounds; the bytes read are the first round's. Before each timed "
                   "step the log files are synced and their cached pages dropped "
                   "(posix_fadvise DONTNEED), so reads through the operating system's cache go to the device "
                   "again. The first query on a value is the cold run; the median of the repeats that follow is "
                   "the repeated figure. Reads it needs: the distinct 4 KiB blocks of the log file that hold the "
                   "chain's records below the head (a record runs from its address to the next record's; the "
                   "head is the store's `head_address` if it has one, else the tail page less the log's pages "
                   "plus 4), each costing the mean latency of 4 KiB O_DIRECT reads at queue depth 1 at random "
                   "offsets of the store's own log file, measured just before the cold query (so under the "
                   "same load); a device-read counter of the store, when it has one, is shown beside. "
                   "The page-cache row reads those same blocks from the store's log files with buffered pread once "
                   "the operating system's page cache holds them (best of 3): what the repeated query's reads alone "
                   "would cost if the store read through the page cache instead of keeping its own read cache. "
                   "The extraction bitmaps (another 0.1% value, and `/bucket < 25`) are built in the in-memory "
                   "store and handed to the other by address, so that no query there has read their records. "
                   "Full scans: `/id = 42` (one match) and `/bucket < 25`; MB/s are bytes of log per second. "
                   "Device: the sequential read is the fastest of "
                   f"{DEVICE_READ_PASSES} reads of the probe file (the data's size, at most 1 GiB) with "
                   f"O_DIRECT in 8 MiB requests; the latency is the mean of up to {READ_PROBES:,} reads of 4 KiB at "
                   "random aligned offsets of that file, one at a time, each timed from Python (its call costs "
                   "a microsecond or two of that).",
    "requests": "The first records of the generated set, one per request, sent from a client process on "
                "loopback. The store's service runs 2 write workers with the projections in place and answers "
                "each request once it is stored. The echo servers are pyzmq processes that send every request "
                "back as it came: the ROUTER echo inside libzmq (zmq.proxy with the one socket on both sides, no "
                "Python per message), what the messaging alone costs at the same window; the REP echo in a "
                "Python loop, as a REP socket must alternate receive and send. \"client busy\": the client "
                "process's processor time over its wall time; near 100%, the Python client is the limit of "
                "that figure rather than the server.",
}


def render(report, machine):
    lines = ["# Benchmark results", "", machine, "",
             f"Each figure is the best of {report['rounds']} rounds in one run on the machine above, the "
             "contenders taking turns within each round so that all see the machine's changing load; every "
             "contender and each store runs in a process of its own. \"vs best\" is quillmark's figure relative to DuckDB's (above 1: "
             "quillmark is better, by that factor); \"vs limit\" is quillmark's throughput as a share of the limit "
             "named. \"result\" says whether the target is met, or by how much it is missed (the ratio reached "
             "for the ratio wanted).", ""]
    if report.get("datasets"):
        for section, title, index in (("ingestion", "Ingestion", 0), ("in-memory", "In memory", 1)):
            if section not in report["sections"]:
                continue
            lines += [f"## {title}", "", HOW_MEASURED[section], ""]
            for name, dataset, rows, checks in report["datasets"]:
                lines += [f"### {name}", ""] + contender_table(rows[index], dataset["targets"]) + [""]
                if index == 1:
                    lines += checks + [""]
    if "memory_disk" in report:
        memory, disk, device = report["memory_disk"]
        rows = memory_disk_rows(memory, disk, device)
        lines += ["## Memory against disk", "",
                  f"{disk['records']:,} generated records ({number(report['disk_megabytes'])} MB of JSON lines, "
                  f"{number(disk['log_bytes'] / MiB)} MiB of log); log memory {memory['log_size'] // MiB:,} MiB "
                  f"against {disk['log_size'] // MiB:,} MiB. Device: {device['read_mbps']:,.0f} MB/s sequential "
                  f"read (8 MiB requests), 4 KiB random read {device['read_latency_s'] * 1e6:.0f} µs mean, "
                  f"{device['read_latency_median_s'] * 1e6:.0f} µs median (O_DIRECT, queue depth 1)"
                  + (f"; on the store's log file just before its cold query, {disk['log_read_latency_s'] * 1e6:.0f} "
                     "µs mean (the best round's)." if "log_read_latency_s" in disk else "."), ""]
        lines += table(["figure", "log in memory", "log mostly on disk", "reference", "ratio", "target", "result"],
                       [list(row[:7]) for row in rows])
        lines += [""] + memory_disk_checks(memory, disk) + ["", HOW_MEASURED["memory-disk"], ""]
    if "requests" in report:
        figures = report["requests"]
        lines += ["## Single-record requests", "", f"{figures['requests']:,} requests of one record each.", ""]
        lines += table(["contender", "requests/s", "the store vs it", "client busy"],
                       [[name, number(value), ratio(store, value), f"{busy:.0%}"] for name, value, store, busy in
                        requests_rows(figures)])
        lines += ["", HOW_MEASURED["requests"], ""]
    return "\n".join(lines)


def chart(report, path):
    """One panel per question: ingestion, indexed latency, memory against disk."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels = []
    datasets = report.get("datasets") or []
    ingestion = [(f"{dataset['name']}: {row['figure'].removeprefix('MB/s, ')}", row) for _, dataset, rows, _ in
                 datasets for row in rows[0] if row["figure"].startswith("MB/s") and row["duck"] is not None]
    if ingestion:
        panels.append(("Ingestion (higher is better)", "MB/s of JSON lines (log scale)",
                       [label for label, _ in ingestion],
                       [("quillmark", [row["quill"] for _, row in ingestion]),
                        ("DuckDB load", [row["duck"] for _, row in ingestion]),
                        ("limit (simdjson or direct save)", [row["limit"] for _, row in ingestion])], None))
    queries = [(f"{dataset['name']}: {row['figure'].split(' (')[0].removeprefix('indexed EQ ')} "
                f"({row['figure'].split(' (')[1].split(' of')[0]})", row)
               for _, dataset, rows, _ in datasets for row in rows[1] if row["key"].startswith("indexed")]
    if queries:
        panels.append(("Indexed EQ latency, in memory (lower is better)", "milliseconds (log scale)",
                       [label for label, _ in queries],
                       [("quillmark", [row["quill"] for _, row in queries]),
                        ("DuckDB filter", [row["duck"] for _, row in queries])], None))
    if "memory_disk" in report:
        rows = memory_disk_rows(*report["memory_disk"])
        panels.append(("Log mostly on disk, against the log in memory (higher is better)",
                       "speed on disk relative to the log in memory, or to the reference named "
                       "(1 = as fast; log scale)", [row[9] for row in rows], [("on disk", [row[7] for row in rows])],
                       [row[8] for row in rows]))
    if not panels:
        return False
    heights = [1.0 + 0.25 * len(labels) * (len(series) + 0.5) for _, _, labels, series, _ in panels]
    figure, axes = plt.subplots(len(panels), 1, figsize=(12, sum(heights)), squeeze=False,
                                gridspec_kw={"height_ratios": heights})
    for axis, (title, unit, labels, series, targets) in zip(axes[:, 0], panels):
        horizontal_bars(axis, labels, series, targets)
        axis.set_title(title, fontsize=11, loc="left")
        axis.set_xlabel(unit)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)
    return True


def horizontal_bars(axis, labels, series, targets):
    """Grouped horizontal bars (labels on the left never overlap), values printed at the bars'
    ends, and targets as black ticks."""
    height = 0.8 / len(series)
    positions = range(len(labels))
    for number_, (name, values) in enumerate(series):
        offsets = [p + (number_ - (len(series) - 1) / 2) * height for p in positions]
        bars = axis.barh(offsets, [value or 0 for value in values], height, label=name)
        axis.bar_label(bars, [number(value) if value else "" for value in values], fontsize=7, padding=2)
    if targets:
        axis.scatter([goal or float("nan") for goal in targets], list(positions), marker="|", s=400,
                     color="black", label="target", zorder=3)
        axis.axvline(1, color="grey", linewidth=0.8)
    axis.set_xscale("log")
    axis.set_yticks(list(positions), labels, fontsize=8)
    axis.invert_yaxis()
    axis.margins(x=0.15)
    axis.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))


def machine_description():
    model = "unknown processor"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"Machine: {model}, {os.cpu_count()} cores, {memory:.0f} GiB memory, Linux {platform.release()}, "
            f"Python {platform.python_version()}; run at {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}.")


def checks_for(dataset, quill, recovered, duck):
    """Sentences that say whether the contenders and the recovered store gave the same answers."""
    lines = []
    keys = [f"indexed{n}_matches" for n in range(len(dataset["indexed"]))] + ["full_scan_matches",
                                                                             "extract_all_rows"]
    for key in keys:
        if key in quill and quill[key] != duck[key]:
            lines.append(f"**Different answers**: {key} quillmark {quill[key]}, DuckDB {duck[key]}.")
        if recovered and key in quill and recovered[key] != quill[key]:
            lines.append(f"**Recovery changed an answer**: {key} {quill[key]} before, {recovered[key]} after.")
    if not lines:
        lines.append("quillmark and DuckDB found the same records for every query"
                     + (", and the recovered store gives the same answers." if recovered else "."))
    return lines


def run_dataset(dataset, path, work, device, sections, rounds):
    """Runs quillmark, DuckDB and simdjson alone in turn, `rounds` times, so that all three
    see the machine's changing load; each figure is the best of its rounds. The recovered
    store is the first round's."""
    config = dict(dataset, data=path, work=work, sections=sections)
    figures = {"quillmark": [], "duckdb": [], "simdjson": []}
    recovered = None
    for round_ in range(1, rounds + 1):
        progress(f"{dataset['name']}: quillmark ({os.path.getsize(path) / MiB:.1f} MB), round {round_} of {rounds}")
        figures["quillmark"].append(run_child("quillmark", config))
        if round_ == 1 and "tokens" in figures["quillmark"][0]:
            progress(f"{dataset['name']}: quillmark recovery in a fresh process")
            recovered = run_child("quillmark-recovery", dict(config, tokens=figures["quillmark"][0]["tokens"]))
        shutil.rmtree(os.path.join(work, "store"), ignore_errors=True)
        progress(f"{dataset['name']}: DuckDB, round {round_} of {rounds}")
        figures["duckdb"].append(run_child("duckdb", config))
        progress(f"{dataset['name']}: simdjson alone, round {round_} of {rounds}")
        figures["simdjson"].append(run_child("simdjson", config))
    answers = [key for key in figures["quillmark"][0] if key.endswith("_matches")] + ["extract_all_rows"]
    quill, duck, simd = (best_of_rounds(figures[name], answers) for name in ("quillmark", "duckdb", "simdjson"))
    rows = figures_for(dataset, quill, recovered, duck, simd, device)
    checks = checks_for(dataset, quill, recovered, duck)
    for name, best in (("quillmark", quill), ("DuckDB", duck)):
        if best["rounds_disagree"]:
            checks.append(f"**Rounds disagree**: {name} gave different answers in different rounds.")
    return (f"{dataset['name']} records ({quill['records']:,} records, {quill['bytes'] / MiB:.1f} MB of JSON lines)",
            dataset, rows, checks)


def run_memory_disk(path, work, rounds):
    """Alternates the two stores (in memory, on disk, in memory, ...) so that both see the
    machine's changing load; each time is the best of its rounds. The first store in memory
    hands its bitmaps to every other."""
    size = os.path.getsize(path)
    config = dict(GENERATED, data=path, work=work)
    log_sizes = {"memory": max(256 * MiB, 1 << int(size * 1.25).bit_length()), "disk": SMALLEST_LOG}
    figures = {"memory": [], "disk": []}
    bitmaps = None
    for round_ in range(1, rounds + 1):
        for label, log_size in log_sizes.items():
            progress(f"memory against disk, round {round_} of {rounds}: {log_size // MiB:,} MiB of log memory "
                     f"for {size / MiB:.1f} MB")
            found = run_child("memory-disk", dict(config, label=label, log_size=log_size, bitmaps=bitmaps))
            shutil.rmtree(os.path.join(work, f"store-{label}"), ignore_errors=True)
            bitmaps = bitmaps or {name: found[f"bitmap_{name}"] for name in ("query", "few", "quarter")}
            figures[label].append(found)
    return best_of_rounds(figures["memory"]), best_of_rounds(figures["disk"])


ANSWERS = ("query_matches", "scan_few_matches", "scan_quarter_matches", "extract_few_digest", "extract_quarter_digest")


def best_of_rounds(rounds, answers=ANSWERS):
    """The first round's figures with each time (`_s`) replaced by the least and each rate
    (`_mbps`) by the greatest of all rounds, and the peak memory by the largest."""
    best = dict(rounds[0], rounds=len(rounds))
    for key in best:
        values = [figures[key] for figures in rounds if figures.get(key) is not None]
        if not values:
            continue
        if key.endswith("_s"):
            best[key] = min(values)
        elif key.endswith("_mbps") or key == "peak_mb":
            best[key] = max(values)
    best["rounds_disagree"] = any(figures.get(key) != best.get(key) for figures in rounds for key in answers)
    return best


def kept_sections(path, headings=("## Sharded on Dask",)):
    """Sections other benchmarks wrote into the results file, kept when it is rewritten."""
    if not os.path.exists(path):
        return ""
    with open(path) as old:
        text = old.read()
    kept = []
    for heading in headings:
        at = text.find("\n" + heading + "\n")
        if at >= 0:
            following = text.find("\n## ", at + 1)
            kept.append(text[at + 1:following if following >= 0 else len(text)].rstrip() + "\n")
    return "\n" + "\n".join(kept) if kept else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=1024, help="size of the generated records")
    parser.add_argument("--disk-megabytes", type=float, default=1024,
                        help="size of the generated records of the memory-disk section (at least 5x the "
                             "smallest log memory of 192 MiB once stored: 1024 is enough)")
    parser.add_argument("--rounds", type=int, default=2,
                        help="runs of each contender (and of each store of memory-disk), alternated; each "
                             "figure is the best of them")
    parser.add_argument("--airports", type=int, default=0, help="use only the first N airports (0: all)")
    parser.add_argument("--datasets", default="generated,airports", help="comma-separated: generated, airports")
    parser.add_argument("--sections", default=",".join(SECTIONS),
                        help=f"comma-separated, of: {', '.join(SECTIONS)}")
    parser.add_argument("--requests", type=int, default=20000, help="single-record requests per contender")
    parser.add_argument("--window", type=int, default=64, help="single-record requests in flight")
    parser.add_argument("--data-directory", default=os.path.join(HERE, "data"))
    parser.add_argument("--output", help="the report (default: bench/results.md for a run of every section, "
                        "else results-SECTIONS.md in the data directory, so that the kept results stay whole)")
    parser.add_argument("--chart", help="the chart (default: beside the report, as .png)")
    parser.add_argument("--child", nargs=3, metavar=("NAME", "CONFIG", "RESULT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        name, config, result = args.child
        figures = CHILDREN[name](json.loads(config))
        with open(result, "w") as out:
            json.dump(figures, out)
        return
    sections = args.sections.split(",")
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        parser.error(f"unknown sections {', '.join(sorted(unknown))}; choose from {', '.join(SECTIONS)}")
    if args.output is None:
        whole = set(sections) == set(SECTIONS)
        args.output = os.path.join(HERE, "results.md") if whole else \
            os.path.join(args.data_directory, f"results-{'-'.join(sections)}.md")
    args.chart = args.chart or os.path.splitext(args.output)[0] + ".png"

    os.makedirs(args.data_directory, exist_ok=True)
    started = time.perf_counter()
    load = os.getloadavg()[0]
    report = {"sections": sections, "disk_megabytes": args.disk_megabytes, "rounds": args.rounds}
    with tempfile.TemporaryDirectory(dir=args.data_directory, prefix="work-") as work:
        generated = generated_file(args.data_directory, args.megabytes)
        files = {"generated": lambda: generated, "airports": lambda: airports_file(args.data_directory, args.airports)}
        paths = []
        if {"ingestion", "in-memory"} & set(sections):
            paths = [(dataset, files[dataset["name"]]()) for dataset in (GENERATED, AIRPORTS)
                     if dataset["name"] in args.datasets.split(",")]
        disk_data = generated_file(args.data_directory, args.disk_megabytes) if "memory-disk" in sections else None
        progress("device: sequential O_DIRECT write and read, 4 KiB random reads")
        largest = max([os.path.getsize(path) for _, path in paths] + [os.path.getsize(disk_data or generated)])
        device = run_child("device", {"work": work, "bytes": largest})
        report["datasets"] = [run_dataset(dataset, path, work, device, sections, args.rounds)
                              for dataset, path in paths]
        if disk_data:
            report["memory_disk"] = run_memory_disk(disk_data, work, args.rounds) + (device,)
        if "requests" in sections:
            progress(f"single-record requests: {args.requests:,} per contender")
            report["requests"] = run_child("requests", dict(
                data=generated, work=work, requests=args.requests, window=args.window,
                projections=[field for field, _ in GENERATED["indexed"]]))
    machine = machine_description() + (
        f" Load average {load:.1f} at the start, {os.getloadavg()[0]:.1f} at the end (other work on the machine "
        f"slows every column). Device: {device['write_mbps']:,.0f} MB/s sequential write, "
        f"{device['read_mbps']:,.0f} MB/s read (best of {DEVICE_READ_PASSES}; O_DIRECT, 8 MiB requests). "
        f"Generated records: {args.megabytes:g} MB"
        + (f" ({args.disk_megabytes:g} MB for memory against disk)." if disk_data else "."))
    text = render(report, machine)
    kept = kept_sections(args.output)
    with open(args.output, "w") as out:
        out.write(text + "\n" + kept)
    charted = chart(report, args.chart)
    print(text)
    progress(f"wrote {args.output}{' and ' + args.chart if charted else ''} in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
