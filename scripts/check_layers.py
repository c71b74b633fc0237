#!/usr/bin/env python3
"""Fails when a source file includes from a layer above its own, or when code outside
src/module/ includes pybind11.

The layers, top to bottom; a file may include its own layer and the layers below it:

    module                          the Python bindings (the only code that sees pybind11)
    server                          JSONStore, the ingestion service
    engine                          the engine's root (PsfStore)
    engine/persistence/scan,
    engine/persistence/checkpoint   scans; checkpoints and recovery
    engine/persistence/log          the hybrid log
    engine/persistence/io           files, segments, asynchronous I/O
    engine/core                     addresses, records, epochs, the hash index, sessions
    values, json, bitmap            typed values, extractors and columns; JSON batches; Bitmap
    base                            platform calls, memory, Status

Run from anywhere: `python3 scripts/check_layers.py [repository root]`.
"""

import pathlib
import re
import sys

# Folder under src/ -> rank; the longest matching folder names a file's layer.
LAYERS = {
    "module": 60,
    "server": 50,
    "engine": 40,
    "engine/persistence/scan": 36,
    "engine/persistence/checkpoint": 36,
    "engine/persistence/log": 34,
    "engine/persistence/io": 32,
    "engine/persistence": 30,
    "engine/core": 20,
    "values": 10,
    "json": 10,
    "bitmap": 10,
    "base": 0,
}

SOURCE_SUFFIXES = {".h", ".cc", ".cpp", ".hpp"}
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"]+)[>"]', re.MULTILINE)


def layer_of(path_under_src):
    """The longest folder of LAYERS that contains `path_under_src`, or None."""
    best = None
    for folder in LAYERS:
        if path_under_src.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


def layer_order():
    ranks = sorted(set(LAYERS.values()), reverse=True)
    return " -> ".join(", ".join(folder for folder, rank in LAYERS.items() if rank == wanted)
                       for wanted in ranks)


def violations(root):
    """Yields one message per forbidden include under `root`."""
    for directory in ("src", "tests", "fuzz", "bench"):
        for path in sorted((root / directory).rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
                continue
            relative = path.relative_to(root).as_posix()
            text = path.read_text(encoding="utf-8", errors="replace")
            in_module = relative.startswith("src/module/")
            own_layer = layer_of(relative[len("src/"):]) if directory == "src" else None
            for match in INCLUDE.finditer(text):
                included = match.group(2)
                line = text.count("\n", 0, match.start()) + 1
                where = f"{relative}:{line}"
                if included.startswith("pybind11/") and not in_module:
                    yield (f"{where}: includes <{included}>, but only src/module/ may use pybind11. "
                           "Keep the C++ code free of Python: put the binding in src/module/ and "
                           "give it a plain C++ interface to call.")
                    continue
                if own_layer is None or match.group(1) != '"':
                    continue
                target_layer = layer_of(included)
                if target_layer is not None and LAYERS[target_layer] > LAYERS[own_layer]:
                    yield (f"{where}: {own_layer}/ includes \"{included}\" from the higher layer "
                           f"{target_layer}/. Includes run down the layers only ({layer_order()}): "
                           "move what both need into the lower layer, or pass it in from above "
                           "(an argument, an interface the higher layer implements).")


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    found = list(violations(root.resolve()))
    for message in found:
        print(message, file=sys.stderr)
    if found:
        print(f"layering check: {len(found)} forbidden include(s)", file=sys.stderr)
        return 1
    print("layering check: includes run down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
