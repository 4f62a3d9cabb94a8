"""Segment tables as CSV, JSON or JSON Lines, one row or record per segment.

Numbers are written with the shortest decimal text that reads back as the
same float64 (Python's repr), so parsing the output gives exactly the values
`linara.detect` returned. JSON has no NaN or infinity; there such values are
written as null.
"""

import csv
import json
import math

from .arrays import COLUMNS

FORMATS = ("csv", "json", "jsonl")
FIELDS = ("file",) + COLUMNS


def format_for(path, explicit=None):
    """The format named by `explicit`, else the one the file name ends with,
    else CSV."""
    if explicit:
        return explicit
    if path:
        lowered = path.lower()
        for suffix, name in ((".jsonl", "jsonl"), (".ndjson", "jsonl"), (".json", "json")):
            if lowered.endswith(suffix):
                return name
    return "csv"


def _json_number(value):
    return value if math.isfinite(value) else None


class TableWriter:
    """Writes the rows of several files' tables to one text stream."""

    def __init__(self, stream, fmt):
        if fmt not in FORMATS:
            raise ValueError(f"format must be one of {FORMATS}, not {fmt!r}")
        self.stream, self.fmt, self.records = stream, fmt, 0
        if fmt == "csv":
            self.csv = csv.writer(stream, lineterminator="\n")
            self.csv.writerow(FIELDS)
        elif fmt == "json":
            stream.write("[")

    def add(self, name, table):
        for row in table.tolist():
            if self.fmt == "csv":
                self.csv.writerow([name] + [repr(v) for v in row])
            else:
                record = dict(zip(FIELDS, [name] + [_json_number(v) for v in row]))
                text = json.dumps(record, allow_nan=False)
                if self.fmt == "json":
                    text = ("\n" if self.records == 0 else ",\n") + text
                else:
                    text += "\n"
                self.stream.write(text)
            self.records += 1

    def close(self):
        if self.fmt == "json":
            self.stream.write("\n]\n" if self.records else "]\n")
        self.stream.flush()
