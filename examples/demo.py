"""The main job of the record server, end to end, on this machine."""
import base64
import time

import pyarrow as pa

import _quillmark_rec_server_extension as quillmark


def step(title):
    print(f"\n== {title}")
    return time.perf_counter()


def main():
    started = step("Module and libraries")
    print(f"simdjson {quillmark.simdjson_version()} (threaded: {quillmark.simdjson_threaded()}), "
          f"active implementation {quillmark.simdjson_active_runtime()}")
    print("ZeroMQ {}.{}.{}".format(*quillmark.zmq_version()))
    print(f"pyarrow {pa.__version__}")

    step("Arrow IPC round trip")
    table = pa.ipc.open_stream(base64.b64decode(quillmark.generate_test_arrow_as_b64_string())).read_all()
    print(table)

    print(f"\ndone in {time.perf_counter() - started:.2f} s")


if __name__ == "__main__":
    main()
