"""The quillmark command line.

    python -m quillmark serve DIR [options]    run a record server over DIR
    python -m quillmark keys KEYDIR            write CURVE keys for --curve KEYDIR

`serve` prints one line when it is up. SIGTERM or SIGINT stops it: every request
received is answered, a final snapshot is taken and it exits 0; a second signal exits at
once with 128 + the signal's number.
"""
import argparse
import logging
import os
import re
import signal
import sys
import threading
from typing import List, Optional

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def byte_size(text: str) -> int:
    """A size such as 1GiB, 256MiB, 192M or 4096 (units are powers of 1024)."""
    match = re.fullmatch(r"\s*(\d+)\s*([kmgt]?)(i?b)?\s*", text, re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (for example 1GiB, 256MiB, 4096)")
    return int(match.group(1)) * _UNITS[match.group(2).lower()]


def _port(text: str) -> int:
    port = int(text)
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"not a TCP port: {text}")
    return port


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="quillmark", description="The quillmark record server.")
    commands = main.add_subparsers(dest="command", required=True)

    serve = commands.add_parser("serve", help="run a record server over a directory",
                                description="Runs a record server over DIR: restarts into its newest "
                                            "snapshot, or starts a new store.")
    serve.add_argument("directory", metavar="DIR")
    serve.add_argument("--port", type=_port, default=5555, help="ingestion port (default 5555; 0: any free one)")
    serve.add_argument("--query-port", type=_port, default=5556, help="query port (default 5556; 0: any free one)")
    serve.add_argument("--listen", default="127.0.0.1", help="interface to listen on (default 127.0.0.1; * for all)")
    serve.add_argument("--threads", type=int, default=2, help="write threads (default 2)")
    serve.add_argument("--log-memory", type=byte_size, default=1 << 30,
                       help="memory of the log, a multiple of 32MiB, at least 192MiB (default 1GiB)")
    serve.add_argument("--project", action="append", default=[], metavar="FIELD",
                       help="projection to create on a new store, a JSON Pointer such as /a (repeatable)")
    serve.add_argument("--snapshot-every", type=float, default=60.0, metavar="SECONDS",
                       help="snapshot interval when anything was ingested (default 60; 0: off)")
    serve.add_argument("--keep", type=int, default=2, help="snapshots kept (default 2)")
    serve.add_argument("--curve", metavar="KEYDIR", help="require CURVE; admit only the keys in KEYDIR/clients")
    serve.add_argument("--max-message", type=byte_size, default=256 << 20,
                       help="largest request taken; larger ones are dropped unread (default 256MiB)")
    serve.add_argument("--log-level", default="info", choices=["debug", "info", "warning", "error"])

    keys = commands.add_parser("keys", help="write a server and a client CURVE key pair",
                               description="Writes KEYDIR/server.key (public), server.key_secret, "
                                           "client.key_secret and admits the client in KEYDIR/clients/.")
    keys.add_argument("directory", metavar="KEYDIR")
    return main


def serve(arguments: argparse.Namespace) -> int:
    import quillmark
    from quillmark.server import RecordServer

    logging.basicConfig(level=arguments.log_level.upper(), format="%(asctime)s %(name)s %(levelname)s %(message)s")
    set_log_level = getattr(quillmark, "set_log_level", None)
    if set_log_level is not None:
        set_log_level(arguments.log_level)
    stop = threading.Event()

    def on_signal(number, frame):
        if stop.is_set():
            os._exit(128 + number)  # a second signal: no final snapshot, at once
        stop.set()

    # Installed before the start so that a signal during it stops the server once it is
    # up; put back when the start fails.
    previous = {number: signal.signal(number, on_signal) for number in (signal.SIGTERM, signal.SIGINT)}
    try:
        server = RecordServer(arguments.directory, port=arguments.port, query_port=arguments.query_port,
                              listen=arguments.listen, threads=arguments.threads, log_memory=arguments.log_memory,
                              projections=arguments.project, snapshot_every=arguments.snapshot_every,
                              keep=arguments.keep, curve=arguments.curve, max_message=arguments.max_message)
        print(server.start(), flush=True)
    except Exception as error:  # noqa: BLE001 - one line, not a traceback
        print(f"quillmark: could not start: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
        for number, handler in previous.items():
            signal.signal(number, handler)
        return 1
    while not stop.wait(0.5):
        pass
    # Stopping runs beside the main thread so that a second signal is handled at once.
    failure: List[BaseException] = []

    def stopping():
        try:
            server.stop()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failure.append(error)

    stopper = threading.Thread(target=stopping, name="quillmark-stop")
    stopper.start()
    while stopper.is_alive():
        stopper.join(0.2)
    if failure:
        print(f"quillmark: stopped without a final snapshot: {failure[0]}", file=sys.stderr, flush=True)
        return 1
    print("quillmark: stopped", flush=True)
    return 0


def make_keys(arguments: argparse.Namespace) -> int:
    from quillmark.keys import create_keys

    try:
        written = create_keys(arguments.directory)
    except (OSError, ValueError) as error:
        print(f"quillmark: {error}", file=sys.stderr)
        return 1
    for role, path in written.items():
        print(f"{role}: {path}")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    """Entry point of the `quillmark` command."""
    arguments = parser().parse_args(argv)
    return serve(arguments) if arguments.command == "serve" else make_keys(arguments)


if __name__ == "__main__":
    sys.exit(main())
