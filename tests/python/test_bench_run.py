"""The benchmark program on a tiny data set, so that it keeps working between full runs."""
import os
import subprocess
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import memory_disk  # noqa: E402


def test_tiny_benchmark_run_reports_every_contender_and_agreeing_answers(tmp_path):
    output, chart = tmp_path / "results.md", tmp_path / "results.png"
    output.write_text("# old results\n\n## Sharded on Dask\n\nkept figures\n")
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "run.py"), "--megabytes", "0.25",
                    "--disk-megabytes", "0.25", "--requests", "50", "--datasets", "generated",
                    "--data-directory", str(tmp_path / "data"), "--output", str(output),
                    "--chart", str(chart)], check=True, timeout=180, capture_output=True)
    report = output.read_text()
    # Every section, with its contenders, targets and memory.
    for text in ("MB/s, ZeroMQ, 2 worker(s)", "peak memory", "read_json into Arrow", "## Memory against disk",
                 "first run after eviction", "pyzmq REQ/REP echo", "≥ 60% of limit"):
        assert text in report, text
    # The contenders and both stores found the same records, and recovery changed no answer.
    assert "Different answers" not in report and "Recovery changed an answer" not in report
    assert "Both stores gave the same matches" in report
    # Another benchmark's section of the results file survives the rewrite.
    assert report.endswith("## Sharded on Dask\n\nkept figures\n")
    assert chart.stat().st_size > 0
    # Nothing of the stores or the device probe is left behind.
    assert [entry.name for entry in (tmp_path / "data").iterdir() if entry.name.startswith("work-")] == []


PAGE = 1 << 25


@pytest.mark.parametrize("matches, head, blocks", [
    ([100], PAGE, 1),                  # a record inside one block
    ([4000], PAGE, 2),                 # a record across a block boundary
    ([100, 200], PAGE, 1),             # two records in one block: one read
    ([PAGE - 50], 2 * PAGE, 1),        # the last record of a page ends at the page's end
    ([100, 5000], 4096, 1),            # records at or above the head need no read
    ([5000], 4096, 0),
])
def test_reads_needed_count_distinct_blocks_below_the_head(matches, head, blocks):
    every_record = np.array([100, 200, 4000, 4300, 5000, 5400, PAGE - 50, PAGE + 64], dtype=np.uint64)
    assert len(memory_disk.blocks_below_head(np.array(matches, dtype=np.uint64), every_record, PAGE + 500,
                                         head)) == blocks


def store_figures(slowdown):
    """Figures of a store whose every step takes `slowdown` times one of 1 ms."""
    seconds = 0.001 * slowdown
    return dict(warm_s=seconds, cold_s=seconds, extract_few_rows=100, extract_few_s=seconds,
                extract_quarter_rows=100, extract_quarter_s=seconds, scan_few_s=seconds, scan_quarter_s=seconds,
                log_bytes=1 << 20, query_matches=10, hops_below_head=10, blocks_needed=10)


@pytest.mark.parametrize("slowdown, result", [(1, "pass"), (100, "miss")])
def test_memory_disk_targets_pass_when_disk_keeps_up_and_miss_when_it_is_far_slower(slowdown, result):
    import run
    # The device: 1 GB/s, and ten reads of 0.1 ms take the 1 ms of an unslowed cold query.
    device = dict(read_latency_s=0.0001, read_mbps=1000)
    rows = run.memory_disk_rows(store_figures(1), store_figures(slowdown), device)
    assert [row[6].split(":")[0] for row in rows] == [result] * len(rows)
