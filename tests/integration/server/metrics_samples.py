"""Reads a metrics page on standard input with the reference parser of the text format and prints
one line per sample: its name, its labels sorted, and its value. A page the parser refuses makes
the script fail."""
import sys

from prometheus_client.parser import text_string_to_metric_families

for family in text_string_to_metric_families(sys.stdin.read()):
    for sample in family.samples:
        labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
        print(f"{sample.name}{{{labels}}} {sample.value}")
