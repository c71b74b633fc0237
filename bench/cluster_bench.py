"""Sharded stores on Dask: ingestion throughput and query latency with 1 and 2 shards.

    make bench                                               # after bench/run.py
    PYTHONPATH=build/python .venv/bin/python bench/cluster_bench.py --megabytes 64

Each shard count gets a LocalCluster of that many worker processes on loopback (one thread
each), and on it a store routed by `/id` (the client parses every record to route it) and
one fed whole batches in turn (no key), both with projections on `/category` and `/bucket`.
Queries are medians of a few runs from this process: an indexed EQ on `/category` with
four columns extracted, the same through `to_dask(...).compute()`, and a full scan for one
`/id`. Writes (or replaces) the section "Sharded on Dask" of bench/results.md.
"""
import argparse
import logging
import os
import re
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from run import generated_file, machine_description, progress, read_batches  # noqa: E402

SECTION = "## Sharded on Dask"
REPEATS = 5
PROJECTIONS = ["/category", "/bucket"]
COLUMNS = [["id", "Int", "/id", True, 64, None, None, None], ["category", "String", "/category", None],
           ["score", "Float", "/score", 64, None, None, None], ["active", "Bool", "/active"]]


def median_seconds(action):
    times = []
    for _ in range(REPEATS):
        started = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - started)
    return statistics.median(times), result


def measure(shards, batches, records, work):
    import distributed
    from quillmark.cluster import ShardedStore

    figures = {}
    log_memory = max(256 << 20, 1 << int(sum(map(len, batches)) * 1.25 / shards).bit_length())
    cluster = distributed.LocalCluster(n_workers=shards, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR)
    try:
        with distributed.Client(cluster) as client:
            for key in ("/id", None):
                directory = tempfile.mkdtemp(dir=work, prefix=f"{shards}-shards-")
                with ShardedStore.create(client, directory, key=key, log_memory=log_memory,
                                         projections=PROJECTIONS, timeout=600) as store:
                    started = time.perf_counter()
                    stored = [0] * shards
                    for batch in batches:
                        stored = [total + count for total, count in zip(stored, store.ingest(batch))]
                    seconds = time.perf_counter() - started
                    assert sum(stored) == records, (stored, records)
                    name = "keyed" if key else "round_robin"
                    figures[f"{name}_s"] = seconds
                    figures[f"{name}_spread"] = stored
                    if key is None:
                        continue
                    figures["indexed_s"], table = median_seconds(
                        lambda: store.query("/category", "EQ", ["cat-0042"], COLUMNS))
                    figures["indexed_rows"] = table.num_rows
                    figures["dask_s"], frame = median_seconds(
                        lambda: store.to_dask("/category", "EQ", ["cat-0042"], COLUMNS).compute())
                    assert len(frame) == table.num_rows
                    figures["full_scan_s"], table = median_seconds(
                        lambda: store.query("/id", "EQ", [42], COLUMNS))
                    assert table.num_rows == 1
    finally:
        cluster.close()
    return figures


def render(results, megabytes, records, machine, load):
    one, two = results[1], results[2]

    def row(figure, first, second, higher_is_better):
        ratio = (second / first if higher_is_better else first / second) if first and second else None
        def text(value):
            return f"{value:,.0f}" if value >= 100 else f"{value:.3g}"
        return f"| {figure} | {text(first)} | {text(second)} | {ratio:.2f} |" if ratio else f"| {figure} | | | |"

    lines = [SECTION, "",
             f"{machine} Load average at the start: {load:.1f} (other work on the machine slows both columns).", "",
             f"{records:,} generated records ({megabytes:.1f} MB of JSON lines) sent from one client process "
             "to 1 and 2 shards, each shard a record server in its own Dask worker process on this machine "
             f"(loopback). Query latencies are medians of {REPEATS} runs; \"2 vs 1\" is the 2-shard figure "
             "relative to the 1-shard one (above 1: better with 2 shards).", "",
             "| figure | 1 shard | 2 shards | 2 vs 1 |", "|---|---:|---:|---:|"]
    for name, label in (("keyed", "ingestion MB/s, routed by /id"), ("round_robin", "ingestion MB/s, batches in turn")):
        lines.append(row(label, megabytes / one[f"{name}_s"], megabytes / two[f"{name}_s"], True))
        lines.append(row(label.replace("MB/s", "records/s"), records / one[f"{name}_s"],
                         records / two[f"{name}_s"], True))
    lines.append(row(f"indexed EQ /category + 4 columns ({one['indexed_rows']:,} rows), ms",
                     one["indexed_s"] * 1e3, two["indexed_s"] * 1e3, False))
    lines.append(row("the same through to_dask().compute(), ms", one["dask_s"] * 1e3, two["dask_s"] * 1e3, False))
    lines.append(row("full scan EQ /id (one match), ms", one["full_scan_s"] * 1e3, two["full_scan_s"] * 1e3, False))
    lines += ["", f"Records per shard with 2 shards: routed {two['keyed_spread']}, in turn {two['round_robin_spread']}."]
    return "\n".join(lines)


def replace_section(path, section):
    """Puts `section` in place of the file's section of the same title, or at its end."""
    text = open(path).read() if os.path.exists(path) else ""
    pattern = re.compile(rf"^{re.escape(SECTION)}\n.*?(?=^## |\Z)", re.S | re.M)
    if pattern.search(text):
        text = pattern.sub(lambda _: section + "\n\n", text).rstrip("\n") + "\n"
    else:
        text = text.rstrip("\n") + ("\n\n" if text else "") + section + "\n"
    with open(path, "w") as out:
        out.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=128, help="size of the generated records")
    parser.add_argument("--data-directory", default=os.path.join(HERE, "data"))
    parser.add_argument("--output", default=os.path.join(HERE, "results.md"))
    args = parser.parse_args()
    os.makedirs(args.data_directory, exist_ok=True)
    batches, records = read_batches(generated_file(args.data_directory, args.megabytes))
    megabytes = sum(map(len, batches)) / (1 << 20)
    results, load = {}, os.getloadavg()[0]
    with tempfile.TemporaryDirectory(dir=args.data_directory, prefix="work-") as work:
        log = open(os.path.join(work, "servers.log"), "ab")
        os.dup2(log.fileno(), 1)  # the servers' log lines and full-scan listings
        for shards in (1, 2):
            progress(f"sharded on Dask: {shards} shard(s), {megabytes:.1f} MB")
            results[shards] = measure(shards, batches, records, work)
    section = render(results, megabytes, records, machine_description(), load)
    replace_section(args.output, section)
    print(section, file=sys.stderr)
    progress(f"wrote the section \"{SECTION[3:]}\" of {args.output}")


if __name__ == "__main__":
    main()
