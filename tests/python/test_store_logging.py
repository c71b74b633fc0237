"""The log lines of the record server, read from a child process's output."""
import subprocess
import sys
import textwrap

from store_helpers import free_port

SCRIPT = textwrap.dedent(r"""
    import sys, zmq
    import _quillmark_rec_server_extension as ext
    path, port = sys.argv[1], int(sys.argv[2])
    store = ext.JSONStore(192 * 1024 * 1024, path, port)
    store.set_listen_address("127.0.0.1")
    store.run(1)
    context = zmq.Context()
    requests = context.socket(zmq.REQ)
    requests.setsockopt(zmq.RCVTIMEO, 5000)
    requests.connect(f"tcp://127.0.0.1:{port}")
    for frames in ([b'{"a": 1}'], [b"", b"t"], [b'{"a": 1}', b"t"], [b'{"a": ', b"t"]):
        requests.send_multipart(frames)
        requests.recv_multipart()
    requests.close(0)
    context.term()
    store.projection("/a")
    store.save('{"a": 1}\n{"a": 2}')
    store.lock_data_ingestion()
    store.save('{"a": 3}')
    store.stats()
    store.stop()
    print("FIRST STOP DONE", flush=True)
    store.stop()
    print("SECOND STOP DONE", flush=True)
""")


def test_log_lines(tmp_path):
    port = free_port()
    result = subprocess.run([sys.executable, "-c", SCRIPT, str(tmp_path / "store"), str(port)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    out = result.stdout + result.stderr
    expected = [
        "Starting service...",
        f"Writing requests port tcp://127.0.0.1:{port}",
        "Service started with 1 write threads",
        "Write thread 0 received more than 2 packages",
        "Write thread 0 received a empty payload",
        "Write thread 0 has session ",
        "Write thread 0 refused a batch: malformed JSON at byte",
        'New projection "/a" with id 0 (',
        "Write thread 0 received message REFRESH",
        "Direct save operation: 17 bytes and 2 records in ",
        "Ingestion of data is not allowed in Recovery mode",
        "Service stats: 25 bytes ingested and 3 messages processed",
        "Service stopping",
        "Write thread 0 received message TERMINATE",
        "Write thread 0 terminated",
        "Write thread 0 stopped",
        "Write proxy stopped",
        "Service stopped",
    ]
    for line in expected:
        assert line in out, line
    levels = {"Starting service...": "info", "Write thread 0 received a empty payload": "warning",
              "Write thread 0 received message REFRESH": "debug"}
    for text, level in levels.items():
        assert any(f"[{level}] {text}" in line for line in out.splitlines()), text
    # The second stop does nothing and says nothing.
    between = out[out.index("FIRST STOP DONE"):out.index("SECOND STOP DONE")]
    assert between.strip() == "FIRST STOP DONE"
