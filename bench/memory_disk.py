"""The same records in a store whose log fits in memory and in one whose log is mostly on disk.

Run by bench/run.py as two children (`memory-disk` with each log memory size); each child
loads the records, then times, in this order and with the log file's cached pages evicted
before each timed step:

  1. the first (cold) indexed EQ on a 0.1% value, then the same query repeated (median);
  2. extraction of 4 columns from a 0.1% bitmap and from a 25% bitmap;
  3. a full scan with few matches and one with 25% matches.

The extraction bitmaps come from the in-memory child (written as .npy address files), so
that the child on disk extracts records no query of its own has read before; the two stores
hold the same records at the same addresses, which the child checks before using them.
"""
import hashlib
import os
import statistics
import time

PAGE_BITS = 25                  # a log address is (page << 25) | offset
HEAD_RESERVE_PAGES = 4          # the head trails the tail page by (buffer pages - 4)
BLOCK = 4096                    # the device read the cold query's estimate counts
REPEATS = 5
LATENCY_PROBES = 1000           # 4 KiB reads of the log file timed before the cold query
COLD_VALUE = "cat-0042"         # 0.1% of the generated records; no query reads it before
EXTRACT_VALUE = "cat-0123"      # another 0.1% value, for the extraction bitmap
QUARTER = ["/bucket", 25]       # /bucket < 25: 25% of the records, by a full scan
FEW = ["/id", 42]               # one match, by a full scan


def evict_log_pages(directory):
    """Writes out and drops the page cache's copy of the log files, so that a read that
    the store serves from the operating system's cache comes from the device again."""
    os.sync()
    for name in os.listdir(directory):
        if name.startswith("log.log"):
            descriptor = os.open(os.path.join(directory, name), os.O_RDONLY)
            try:
                os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(descriptor)


def device_reads(store):
    """The store's count of device reads, when it keeps one (None otherwise): an attribute
    `device_reads`, or a `device_reads` entry of a dictionary from `stats()`."""
    counter = getattr(store, "device_reads", None)
    if callable(counter):
        counter = counter()
    if counter is None:
        statistics_ = store.stats()
        if isinstance(statistics_, dict):
            counter = statistics_.get("device_reads")
    return counter


def storage_bytes_read():
    """Bytes this process (all its threads, the kernel's I/O workers for it included) had the
    storage layer fetch, from /proc/self/io; None where the kernel does not keep the count."""
    try:
        with open("/proc/self/io") as counters:
            for line in counters:
                if line.startswith("read_bytes:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def head_address(store, log_size):
    """The lowest address still in memory: the store's own figure when it exposes one, else
    where the allocator keeps it (page tail - buffer pages + 4; the head never passes the
    flushed data, and the loads here end with everything flushed but the last pages)."""
    head = getattr(store, "head_address", None)
    if head is not None:
        return head
    tail_page = store.end_address >> PAGE_BITS
    return max(0, tail_page - (log_size >> PAGE_BITS) + HEAD_RESERVE_PAGES) << PAGE_BITS


def blocks_below_head(matches, every_record, end_address, head):
    """Distinct 4 KiB blocks of the log file that hold the matched records below the head,
    by block number (log address // BLOCK): the device reads a chain walk needs when nothing
    is cached. A record runs from its address to the next record's (or its page's end)."""
    import numpy as np
    below = matches[matches < head]
    if below.size == 0:
        return set()
    following = np.searchsorted(every_record, below, side="right")
    ends = np.append(every_record, np.uint64(end_address))[following]
    page_ends = ((below >> np.uint64(PAGE_BITS)) + np.uint64(1)) << np.uint64(PAGE_BITS)
    ends = np.minimum(np.minimum(ends, page_ends), np.uint64(head))
    blocks = set()
    for start, end in zip((below // BLOCK).tolist(), ((ends - np.uint64(1)) // BLOCK).tolist()):
        blocks.update(range(start, end + 1))
    return blocks


SEGMENT_BITS = 30               # the log file is a run of 1 GiB segments, log.log0, log.log1, ...


def page_cache_reads(directory, blocks, rounds=3):
    """Seconds to read `blocks` (log block numbers) with buffered pread once the operating
    system's page cache holds them, best of `rounds`: what the repeated query's reads would
    cost if the page cache served them instead of the store's own read cache (the reads
    alone, without walking the chain)."""
    descriptors = {}
    buffer = bytearray(BLOCK)
    try:
        ordered = sorted(blocks)
        best = None
        for _ in range(rounds + 1):   # the first round fills the page cache
            started = time.perf_counter()
            for block in ordered:
                address = block * BLOCK
                segment = address >> SEGMENT_BITS
                if segment not in descriptors:
                    descriptors[segment] = os.open(os.path.join(directory, f"log.log{segment}"), os.O_RDONLY)
                os.preadv(descriptors[segment], [buffer], address & ((1 << SEGMENT_BITS) - 1))
            elapsed = time.perf_counter() - started
            best = elapsed if best is None else min(best, elapsed)
        return best
    finally:
        for descriptor in descriptors.values():
            os.close(descriptor)


def addresses(bitmap):
    import numpy as np
    return np.fromiter(iter(bitmap), dtype=np.uint64, count=len(bitmap))


def random_read_latencies(descriptor, size, count, seconds=5):
    """Times `count` reads of 4 KiB at random aligned offsets below `size` of an O_DIRECT
    file, one at a time (queue depth 1), for at most `seconds`: what one read below the
    log's head costs."""
    import mmap
    import random
    block = mmap.mmap(-1, BLOCK)   # page-aligned, as O_DIRECT needs
    offsets = random.Random(7)
    latencies = []
    deadline = time.perf_counter() + seconds
    while len(latencies) < count and time.perf_counter() < deadline:
        offset = offsets.randrange(size // BLOCK) * BLOCK
        started = time.perf_counter()
        os.preadv(descriptor, [block], offset)
        latencies.append(time.perf_counter() - started)
    return latencies


def log_read_latency(directory, head):
    """The mean 4 KiB read latency on the store's first log segment, below the head."""
    path = os.path.join(directory, "log.log0")
    size = min(os.path.getsize(path), head) if os.path.exists(path) else 0
    if size < BLOCK:
        return None
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECT)
    try:
        return statistics.mean(random_read_latencies(descriptor, size, LATENCY_PROBES))
    finally:
        os.close(descriptor)


def timed(action):
    started = time.perf_counter()
    value = action()
    return time.perf_counter() - started, value


def child(config, read_batches, column_extractor, free_port):
    """Loads the records into a store with `log_size` bytes of log memory and times the steps."""
    import numpy as np
    import quillmark

    log = open(os.path.join(config["work"], "server.log"), "ab")
    os.dup2(log.fileno(), 1)     # full scans list their matches on standard output
    directory = os.path.join(config["work"], f"store-{config['label']}")
    store = quillmark.JSONStore(config["log_size"], directory, free_port())
    store.projection("/category")
    batches, records = read_batches(config["data"])
    for batch in batches:
        store.save(batch)
    del batches
    assert store.stats()[1] == records, (store.stats(), records)
    equal = quillmark.ScanOperation.EQ
    end_address = store.end_address
    head = head_address(store, config["log_size"])
    result = {"records": records, "log_bytes": end_address, "head": head, "log_size": config["log_size"]}

    def cold(step, action):
        """Times `action` after evicting the log's cached pages, and notes the bytes the
        process read from the device meanwhile."""
        evict_log_pages(directory)
        before = storage_bytes_read()
        seconds, value = timed(action)
        if before is not None:
            result[f"{step}_device_bytes"] = storage_bytes_read() - before
        return seconds, value

    def query():
        return store.scan("/category", equal, [COLD_VALUE], None, None)

    evict_log_pages(directory)
    latency = log_read_latency(directory, head)
    if latency is not None:
        result["log_read_latency_s"] = latency
    reads_before = device_reads(store)
    result["cold_s"], matches = cold("cold", query)
    if reads_before is not None:
        result["cold_device_reads"] = device_reads(store) - reads_before
    result["warm_s"] = statistics.median(timed(query)[0] for _ in range(REPEATS))
    matches = addresses(matches)
    result["query_matches"] = len(matches)

    shared = config.get("bitmaps")
    if shared and np.array_equal(np.load(shared["query"]), matches):
        few = quillmark.Bitmap(np.load(shared["few"]))
        quarter = quillmark.Bitmap(np.load(shared["quarter"]))
    else:
        # Built here, the bitmaps read their records first: the extractions below are warm.
        result["bitmaps_warm"] = bool(shared)
        few = store.scan("/category", equal, [EXTRACT_VALUE], None, None)
        quarter = store.scan(QUARTER[0], quillmark.ScanOperation.LT, [QUARTER[1]], None, None)
        for name, bitmap in (("query", matches), ("few", few), ("quarter", quarter)):
            path = os.path.join(config["work"], f"bitmap-{name}.npy")
            np.save(path, bitmap if isinstance(bitmap, np.ndarray) else addresses(bitmap))
            result[f"bitmap_{name}"] = path

    extractor = quillmark.Extractor.record([(name, column_extractor(quillmark.Extractor, name, kind))
                                            for name, kind in config["columns"]])
    for name, bitmap in (("few", few), ("quarter", quarter)):
        seconds, encoded = cold(f"extract_{name}", lambda: store.extract(extractor, bitmap))
        result[f"extract_{name}_s"] = seconds
        result[f"extract_{name}_rows"] = len(bitmap)
        result[f"extract_{name}_digest"] = hashlib.sha256((encoded or "").encode()).hexdigest()

    result["scan_few_s"], found = cold("scan_few", lambda: store.scan(FEW[0], equal, [FEW[1]], None, None))
    result["scan_few_matches"] = len(found)
    result["scan_quarter_s"], found = cold(
        "scan_quarter", lambda: store.scan(QUARTER[0], quillmark.ScanOperation.LT, [QUARTER[1]], None, None))
    result["scan_quarter_matches"] = len(found)

    # The reads the cold query needs, from where every record lies (after the timings).
    every_record = addresses(store.scan(QUARTER[0], quillmark.ScanOperation.GE, [0], None, None))
    blocks = blocks_below_head(matches, every_record, end_address, head)
    result["blocks_needed"] = len(blocks)
    if blocks:
        result["page_cache_reads_s"] = page_cache_reads(directory, blocks)
    result["hops_below_head"] = int((matches < head).sum())
    return result
