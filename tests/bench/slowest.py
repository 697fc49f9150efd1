"""Prints the slowest tests of a run from the JUnit files that pytest wrote:
   slowest.py <folder> <count>"""
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

folder, count = Path(sys.argv[1]), int(sys.argv[2])
times = []
for report in sorted(folder.glob("*.xml")):
    for case in ElementTree.parse(report).iter("testcase"):
        times.append((float(case.get("time", 0)), f"{report.stem}::{case.get('name')}"))
if times:
    print(f"The slowest {min(count, len(times))} of {len(times)} end-to-end tests:")
    for seconds, name in sorted(times, reverse=True)[:count]:
        print(f"  {seconds:7.1f} s  {name}")
