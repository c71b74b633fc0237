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
    assert memory_disk.blocks_below_head(np.array(matches, dtype=np.uint64), every_record, PAGE + 500,
                                         head) == blocks
