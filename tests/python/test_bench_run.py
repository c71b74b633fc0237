"""The benchmark program on a tiny data set, so that it keeps working between full runs."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_tiny_benchmark_run_reports_every_contender_and_agreeing_answers(tmp_path):
    output, chart = tmp_path / "results.md", tmp_path / "results.png"
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "run.py"), "--megabytes", "0.25",
                    "--datasets", "generated", "--data-directory", str(tmp_path / "data"), "--output", str(output),
                    "--chart", str(chart)], check=True, timeout=180, capture_output=True)
    report = output.read_text()
    # The direct and service ingestion figures and memory of each contender.
    assert "ingestion MB/s, ZeroMQ, 2 worker(s)" in report and "peak memory" in report
    # The contenders found the same records, and recovery changed no answer.
    assert "Different answers" not in report and "Recovery changed an answer" not in report
    assert chart.stat().st_size > 0
    # Nothing of the stores or the device probe is left behind.
    assert [entry.name for entry in (tmp_path / "data").iterdir() if entry.name.startswith("work-")] == []
