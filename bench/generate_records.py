"""Deterministic generator of realistic JSON records for benchmarks and load tests.

Each record is one JSON document of a few hundred bytes with nested objects, arrays and
every scalar type. Two fields give known selectivities for equality queries:
`category` takes 1000 values (0.1% of records each) and `bucket` 100 values (1% each).

    python bench/generate_records.py OUTPUT.jsonl --megabytes 1024
"""
import argparse
import json
import random

COUNTRIES = ["AR", "AU", "BR", "CA", "CN", "DE", "ES", "FR", "GB", "IN", "IT", "JP", "KR", "MX", "NL",
             "NO", "PL", "SE", "US", "ZA"]
OPERATING_SYSTEMS = ["linux", "windows", "macos", "android", "ios"]
WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "india", "juliet",
         "kilo", "lima", "mike", "november", "oscar", "papa", "quebec", "romeo", "sierra", "tango"]


def make_record(index, rng):
    year = 2015 + rng.randrange(10)
    month = 1 + rng.randrange(12)
    day = 1 + rng.randrange(28)
    return {
        "id": index,
        "category": f"cat-{rng.randrange(1000):04d}",
        "bucket": rng.randrange(100),
        "user": {"name": f"{rng.choice(WORDS)}.{rng.choice(WORDS)}{rng.randrange(10000)}",
                 "country": rng.choice(COUNTRIES),
                 "age": 18 + rng.randrange(70),
                 "verified": rng.random() < 0.7},
        "score": round(rng.uniform(-1000.0, 1000.0), 4),
        "amount": rng.randrange(-10**9, 10**9),
        "active": rng.random() < 0.5,
        "created": f"{year:04d}-{month:02d}-{day:02d}T{rng.randrange(24):02d}:{rng.randrange(60):02d}:"
                   f"{rng.randrange(60):02d}.{rng.randrange(1000):03d}Z",
        "date": f"{year:04d}-{month:02d}-{day:02d}",
        "time": f"{rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}",
        "duration": f"PT{rng.randrange(48)}H{rng.randrange(60)}M{rng.randrange(60)}S",
        "device": {"os": rng.choice(OPERATING_SYSTEMS), "version": f"{rng.randrange(15)}.{rng.randrange(10)}",
                   "screen": {"width": rng.choice([1280, 1920, 2560, 3840]), "height": rng.choice([720, 1080, 1440])}},
        "tags": rng.sample(WORDS, 3),
        "note": None if rng.random() < 0.2 else " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 12))),
    }


def generate_lines(megabytes=None, records=None, seed=42):
    """Yields JSON lines (bytes, newline included) until the size or count is reached."""
    rng = random.Random(seed)
    limit = None if megabytes is None else int(megabytes * 1024 * 1024)
    produced = 0
    index = 0
    while (records is None or index < records) and (limit is None or produced < limit):
        line = (json.dumps(make_record(index, rng), separators=(",", ":")) + "\n").encode()
        produced += len(line)
        index += 1
        yield line


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output")
    parser.add_argument("--megabytes", type=float)
    parser.add_argument("--records", type=int)
    parser.add_argument("--seed", type=int, default=42)
    args = parser.parse_args()
    if args.megabytes is None and args.records is None:
        parser.error("give --megabytes or --records")
    with open(args.output, "wb") as output:
        for line in generate_lines(args.megabytes, args.records, args.seed):
            output.write(line)


if __name__ == "__main__":
    main()
