#!/usr/bin/python3
"""Validates JSON Lines events against the events' schema: one message per invalid line."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
bad = 0
for number, line in enumerate(open(sys.argv[2], encoding="utf-8"), 1):
    try:
        event = json.loads(line)
    except ValueError as e:
        print(f"line {number}: not JSON: {e}")
        bad += 1
        continue
    for error in validator.iter_errors(event):
        print(f"line {number} ({event.get('event')}): {error.message}")
        bad += 1
sys.exit(1 if bad else 0)
