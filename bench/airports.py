"""The airports of the `airportsdata` package (about 28,000 records) as JSON lines.

Each record keeps the package's strings and floats and adds derived fields of the other
types: `elevation_m` (int, metres), `has_iata` (bool) and `hemisphere` ("N" or "S").
"""
import json

import airportsdata


def airport_records():
    """Yields the airports as dicts, sorted by ICAO code so that every run sees the same order."""
    airports = airportsdata.load()
    for code in sorted(airports):
        airport = dict(airports[code])
        airport["elevation_m"] = int(round(float(airport["elevation"]) * 0.3048))
        airport["has_iata"] = bool(airport["iata"])
        airport["hemisphere"] = "N" if airport["lat"] >= 0 else "S"
        yield airport


def airport_lines():
    """The airports as JSON lines (bytes, newline included)."""
    return [(json.dumps(record, separators=(",", ":")) + "\n").encode() for record in airport_records()]
