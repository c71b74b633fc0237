"""Smoke test of the installed wheel, run from outside the repository by
scripts/check_package.sh: import, save, load a file, scan and extract."""
import gzip
import os
import sys
import tempfile

# The module comes first, before anything has loaded Arrow: it must find Arrow's
# libraries in the installed pyarrow by itself.
import _quillmark_rec_server_extension as extension  # noqa: E402

assert "pyarrow" not in sys.modules
site_packages = os.path.dirname(extension.__file__)
with open("/proc/self/maps") as maps:
    arrow_paths = {line.split()[-1] for line in maps if "libarrow.so" in line}
assert arrow_paths and all(path.startswith(os.path.join(site_packages, "pyarrow")) for path in arrow_paths), arrow_paths

import pyarrow as pa  # noqa: E402

import quillmark  # noqa: E402

assert os.path.dirname(os.path.dirname(quillmark.__file__)) == site_packages, quillmark.__file__
for name in ("_quillmark_rec_server_extension.pyi", os.path.join("quillmark", "py.typed")):
    assert os.path.exists(os.path.join(site_packages, name)), name
assert "log_size" in quillmark.JSONStore.__doc__ and "ArrowTable" in quillmark.JSONStore.extract_arrow.__doc__

with tempfile.TemporaryDirectory() as directory:
    store = quillmark.JSONStore(192 << 20, os.path.join(directory, "store"), 5555)
    store.projection("/k")
    assert store.save('{"k": "a", "n": -1}\n{"k": "b", "n": -2}') == 2
    path = os.path.join(directory, "records.jsonl.gz")
    with gzip.open(path, "wt") as out:
        out.writelines('{"k": "%s", "n": %d}\n' % ("ab"[n % 2], n) for n in range(1000))
    assert quillmark.load_file(store, path, batch_bytes=4096, progress=False) == 1000
    hits = store.scan("/k", quillmark.ScanOperation.EQ, ["a"], None, None)
    E = quillmark.Extractor
    columns = E.record([("n", E.Int("/n", True, 64, None, None, None)), ("k", E.String("/k", None))])
    table = pa.table(store.extract_arrow(columns, hits))
    assert table.equals(quillmark.to_table(store.extract(columns, hits)))
    assert table.column("n").to_pylist() == [-1] + list(range(0, 1000, 2))
    del store
print(f"package smoke test passed: quillmark {quillmark.__file__}")
