"""The record server next to what users would otherwise use, side by side in one run.

    make bench                                    # about 1 GB of generated records + airports
    PYTHONPATH=build/python .venv/bin/python bench/run.py --megabytes 64

Contenders, each measured in a process of its own so that its peak memory is its own:
- quillmark: this system through its Python module (direct `save` with the projections
  in place, the ZeroMQ service with 1 and 2 workers, indexed and full-scan queries,
  extraction of 4 columns, snapshot, and recovery in a fresh process).
- DuckDB: loads the same JSON lines, runs the same filters and extracts the same columns
  to Arrow.
- simdjson alone: build/insert_bench and build/scan_bench parse the same records and look up
  the same fields; the practical limit for ingestion and full scans.
- the device: a large sequential O_DIRECT write and read; the limit for snapshots and recovery.

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

MiB = 1 << 20
BATCH_BYTES = 8 * MiB           # direct saves and service requests are cut at line ends near this
DIRECT_LINE = re.compile(r"Direct save operation: \d+ bytes and \d+ records in ([0-9.e+-]+)")
RECOVER_PAUSE = 1.0             # `recover` sleeps this long after starting its workers
QUERY_REPEATS = 5

# What each data set is asked. Fields are JSON pointers; DuckDB gets the same names as columns.
GENERATED = {
    "name": "generated",
    "indexed": [["/category", "cat-0042"], ["/bucket", 42]],
    "full_scan": ["/id", 42],
    "extract_from": ["/bucket", list(range(10))],
    "columns": [["id", "Int"], ["category", "String"], ["score", "Float"], ["active", "Bool"]],
}
AIRPORTS = {
    "name": "airports",
    "indexed": [["/country", "NZ"], ["/tz", "Europe/Paris"]],
    "full_scan": ["/iata", "SFO"],
    "extract_from": ["/country", ["US", "CA"]],
    "columns": [["icao", "String"], ["name", "String"], ["elevation_m", "Int"], ["lat", "Float"]],
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


def read_batches(path):
    """The file's JSON lines cut into batches of about BATCH_BYTES, each ending at a line end."""
    batches, records = [], 0
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

    batches, records = read_batches(config["data"])
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

    if hasattr(store, "scan"):
        result.update(query_quillmark(store, config, quillmark))
    if hasattr(store, "snapshot"):
        started = time.perf_counter()
        tokens = store.snapshot()
        result["snapshot_s"] = time.perf_counter() - started
        result["log_bytes"] = log_bytes(store.end_address)
        result["tokens"] = [str(tokens["index"]["token"]), str(tokens["log"]["token"])]
    del store

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
    table = quillmark.to_table(store.extract(extractor, rows))
    result["extract_s"] = time.perf_counter() - started
    result["extract_rows"] = table.num_rows if table is not None else 0
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
    return result


def child_simdjson(config):
    """Runs the C++ benchmarks that time simdjson alone (and the engine beside it) on the data."""
    result = {}
    build = os.path.join(ROOT, "build")
    insert = os.path.join(build, "insert_bench")
    if os.path.exists(insert):
        environment = dict(os.environ, QUILLMARK_INSERT_DATA=config["data"])
        for entry in google_benchmark(insert, "projections:2/", environment):
            name = entry["name"].split("/")[0].removeprefix("BM_")
            threads = re.search(r"threads:(\d+)", entry["name"]).group(1)
            result[f"{name}{threads}_mbps"] = entry["MB/s"]
    scan = os.path.join(build, "scan_bench")
    if os.path.exists(scan) and config["name"] == "generated":
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
    """Sequential O_DIRECT write then read of `bytes` in 8 MiB requests, beside the stores."""
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
    started = time.perf_counter()
    while os.readv(descriptor, [buffer]) > 0:
        pass
    read_s = time.perf_counter() - started
    os.close(descriptor)
    os.unlink(path)
    return {"write_mbps": total / MiB / write_s, "read_mbps": total / MiB / read_s}


CHILDREN = {"quillmark": child_quillmark, "quillmark-recovery": child_quillmark_recovery,
            "duckdb": child_duckdb, "simdjson": child_simdjson, "device": child_device}


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


def figures_for(dataset, quill, recovered, duck, simd, device):
    """Rows of (figure, higher is better, quillmark, duckdb, limit, limit's name)."""
    megabytes = quill["bytes"] / MiB
    records = quill["records"]
    rows = []

    def rate(seconds, amount):
        return amount / seconds if seconds else None

    ingest_limit = simd.get("SimdjsonLimit1_mbps")
    rows.append(("ingestion MB/s, direct save, 2 projections", True, rate(quill["ingest_direct_s"], megabytes),
                 rate(duck["ingest_s"], megabytes), ingest_limit, "simdjson, 1 thread"))
    rows.append(("ingestion records/s, direct save", True, rate(quill["ingest_direct_s"], records),
                 rate(duck["ingest_s"], duck["records"]),
                 ingest_limit * records / megabytes if ingest_limit else None, "simdjson, 1 thread"))
    if "Insert1_mbps" in simd:
        rows.append(("ingestion MB/s, the engine from C++ (insert_bench), 2 projections", True,
                     simd["Insert1_mbps"], None, ingest_limit, "simdjson, 1 thread"))
    for workers in (1, 2):
        limit = simd.get(f"SimdjsonLimit{workers}_mbps")
        rows.append((f"ingestion MB/s, ZeroMQ, {workers} worker(s), 2 projections", True,
                     rate(quill[f"ingest_service{workers}_s"], megabytes), rate(duck["ingest_s"], megabytes),
                     limit, f"simdjson, {workers} thread(s)"))
    for number_, (field, value) in enumerate(dataset["indexed"]):
        key = f"indexed{number_}_s"
        if key in quill:
            share = quill[f"indexed{number_}_matches"] / records
            rows.append((f"indexed EQ {field} = {value!r} ({share:.2%} of records), ms", False,
                         quill[key] * 1e3, duck[key] * 1e3, None, ""))
    if "full_scan_s" in quill:
        field, value = dataset["full_scan"]
        rows.append((f"full scan {field} = {value!r}, MB/s", True, rate(quill["full_scan_s"], megabytes),
                     rate(duck["full_scan_s"], megabytes), simd.get("SimdjsonAlone_mbps"),
                     "simdjson alone"))
    if "extract_s" in quill:
        rows.append((f"extraction of 4 columns, rows/s ({quill['extract_rows']:,} rows)", True,
                     rate(quill["extract_s"], quill["extract_rows"]), rate(duck["extract_s"], duck["extract_rows"]),
                     None, ""))
    if "snapshot_s" in quill:
        log_megabytes = quill["log_bytes"] / MiB
        rows.append(("snapshot MB/s (log)", True, rate(quill["snapshot_s"], log_megabytes), None,
                     device and device["write_mbps"], "device O_DIRECT write"))
    if recovered:
        rows.append(("recovery MB/s (log)", True, rate(recovered["recover_s"], quill["log_bytes"] / MiB), None,
                     device and device["read_mbps"], "device O_DIRECT read"))
    rows.append(("peak memory, MB", False, quill["peak_mb"], duck["peak_mb"], simd.get("peak_mb"),
                 "C++ benchmark process"))
    return rows


def render(sections, machine):
    lines = ["# Benchmark results", "", machine, "",
             "Each figure is measured once in one run on the machine above; quillmark, DuckDB, the simdjson "
             "benchmarks and the device probe each run in a process of their own. \"vs best\" is quillmark's "
             "figure relative to the best contender (above 1: quillmark is the best, by that factor); "
             "\"vs limit\" is quillmark's throughput as a share of the limit named. Query latencies are "
             f"medians of {QUERY_REPEATS} runs. The direct-save time is the engine work of each `save` "
             "(from its log line, without its fixed 100 ms pause); the recovery time leaves out `recover`'s "
             "fixed 1 s pause. Snapshot and recovery MB/s are bytes of log covered per second: pages the "
             "log already flushed while ingesting are not written again, so a snapshot can pass the device.", ""]
    for title, rows, checks in sections:
        lines += [f"## {title}", "", "| figure | quillmark | DuckDB | limit | vs best | vs limit |",
                  "|---|---:|---:|---:|---:|---:|"]
        for figure, higher_is_better, quill, duck, limit, limit_name in rows:
            if duck is None:
                versus = ""
            else:
                versus = ratio(quill, duck) if higher_is_better else ratio(duck, quill)
            limit_text = f"{number(limit)} ({limit_name})" if limit else ""
            lines.append(f"| {figure} | {number(quill)} | {number(duck)} | {limit_text} | {versus} | "
                         f"{ratio(quill, limit) if limit and higher_is_better else ''} |")
        lines += [""] + checks + [""]
    return "\n".join(lines)


def chart(sections, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, axes = plt.subplots(len(sections), 2, figsize=(12, 4 * len(sections)), squeeze=False)
    for row, (title, rows, _) in enumerate(sections):
        ingestion = [r for r in rows if r[0].startswith("ingestion MB/s") and r[3] is not None]
        labels = [r[0].removeprefix("ingestion MB/s, ") for r in ingestion]
        plot_pairs(axes[row][0], labels, [r[2] for r in ingestion], [r[3] for r in ingestion],
                   [r[4] for r in ingestion], f"{title}: ingestion, MB/s")
        queries = [r for r in rows if r[0].startswith("indexed EQ")]
        labels = [r[0].split(" (")[1].split(" of")[0] for r in queries]
        plot_pairs(axes[row][1], labels, [r[2] for r in queries], [r[3] for r in queries], None,
                   f"{title}: indexed EQ latency, ms (log scale)", log=True)
    figure.tight_layout()
    figure.savefig(path, dpi=80)


def plot_pairs(axis, labels, quill, duck, limit, title, log=False):
    positions = range(len(labels))
    width = 0.27
    axis.bar([p - width for p in positions], [v or 0 for v in quill], width, label="quillmark")
    axis.bar(list(positions), [v or 0 for v in duck], width, label="DuckDB")
    if limit:
        axis.bar([p + width for p in positions], [v or 0 for v in limit], width, label="simdjson limit")
    axis.set_xticks(list(positions), labels, fontsize=8)
    axis.set_title(title)
    if log:
        axis.set_yscale("log")
    axis.legend()


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
    keys = [f"indexed{n}_matches" for n in range(len(dataset["indexed"]))] + ["full_scan_matches"]
    for key in keys:
        if key in quill and quill[key] != duck[key]:
            lines.append(f"**Different answers**: {key} quillmark {quill[key]}, DuckDB {duck[key]}.")
        if recovered and key in quill and recovered[key] != quill[key]:
            lines.append(f"**Recovery changed an answer**: {key} {quill[key]} before, {recovered[key]} after.")
    if not lines:
        lines.append("quillmark and DuckDB found the same records for every query"
                     + (", and the recovered store gives the same answers." if recovered else "."))
    return lines


def run_dataset(dataset, path, work, device):
    config = dict(dataset, data=path, work=work)
    progress(f"{dataset['name']}: quillmark ({os.path.getsize(path) / MiB:.1f} MB)")
    quill = run_child("quillmark", config)
    recovered = None
    if "tokens" in quill:
        progress(f"{dataset['name']}: quillmark recovery in a fresh process")
        recovered = run_child("quillmark-recovery", dict(config, tokens=quill["tokens"]))
    shutil.rmtree(os.path.join(work, "store"), ignore_errors=True)
    progress(f"{dataset['name']}: DuckDB")
    duck = run_child("duckdb", config)
    progress(f"{dataset['name']}: simdjson alone")
    simd = run_child("simdjson", config)
    rows = figures_for(dataset, quill, recovered, duck, simd, device)
    return (f"{dataset['name']} records ({quill['records']:,} records, {quill['bytes'] / MiB:.1f} MB of JSON lines)",
            rows, checks_for(dataset, quill, recovered, duck))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=1024, help="size of the generated records")
    parser.add_argument("--airports", type=int, default=0, help="use only the first N airports (0: all)")
    parser.add_argument("--datasets", default="generated,airports", help="comma-separated: generated, airports")
    parser.add_argument("--data-directory", default=os.path.join(HERE, "data"))
    parser.add_argument("--output", default=os.path.join(HERE, "results.md"))
    parser.add_argument("--chart", default=os.path.join(HERE, "results.png"))
    parser.add_argument("--child", nargs=3, metavar=("NAME", "CONFIG", "RESULT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        name, config, result = args.child
        figures = CHILDREN[name](json.loads(config))
        with open(result, "w") as out:
            json.dump(figures, out)
        return

    os.makedirs(args.data_directory, exist_ok=True)
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(dir=args.data_directory, prefix="work-") as work:
        datasets = args.datasets.split(",")
        files = {"generated": lambda: generated_file(args.data_directory, args.megabytes),
                 "airports": lambda: airports_file(args.data_directory, args.airports)}
        paths = [(dataset, files[dataset["name"]]()) for dataset in (GENERATED, AIRPORTS)
                 if dataset["name"] in datasets]
        progress("device: sequential O_DIRECT write and read")
        device = run_child("device", {"work": work, "bytes": max(os.path.getsize(path) for _, path in paths)})
        sections = [run_dataset(dataset, path, work, device) for dataset, path in paths]
    machine = machine_description() + (f" Device: {device['write_mbps']:,.0f} MB/s sequential write, "
                                       f"{device['read_mbps']:,.0f} MB/s read (O_DIRECT, 8 MiB requests).")
    report = render(sections, machine)
    with open(args.output, "w") as out:
        out.write(report + "\n")
    chart(sections, args.chart)
    print(report)
    progress(f"wrote {args.output} and {args.chart} in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
