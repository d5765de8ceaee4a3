"""Compares what lnav and lognormalizer make of captured log lines with what
the lines say.  Usage: check_lines.py WORK_DIR RULEBASE LOG...
WORK_DIR holds the logs, lnav/ (the format) and lnav-home/."""
import json
import os
import re
import subprocess
import sys

LINE = re.compile(
    r"^\[(?P<date>[A-Z][a-z]{2}-\d{2}-\d{4}, [A-Za-z]+\.)\]\[(?P<time>\d{2}:\d{2}:\d{2}\.\d{3})\] "
    r"(?:\[(?P<host>[^\]]*)\]\[(?P<address>[\d.]+)\] )?\[(?P<version>[\d.]+):(?P<tag>[^\]]*)\]"
    r"(?:\[(?P<module>[^\]]*)\] )?(?:<<(?P<code>\d+)>> )?\[(?P<file>[^\]:]*):(?P<line>\d+)\]"
    r"\[(?P<function>[^\]:]*):(?P<level>[A-Za-z!]+)\] : (?P<message>.*)$")
LNAV_LEVEL = {"Fatal!": "fatal", "Error!": "error", "Warning": "warning", "Info": "info", "Verbose": "debug",
              "Debug": "trace"}
MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()
FIELDS = ["host", "address", "version", "tag", "module", "code", "file", "line", "function"]
failures = []


def check(what, found, expected):
    if found != expected:
        failures.append(f"{what}:\n  found    {found}\n  expected {expected}")


def lnav_query(work, log, sql):
    """The rows of an SQL query over the log's quillon_log table, as lnav answers it headless."""
    result = subprocess.run(
        ["lnav", "-N", "-n", "-q", "-I", os.path.join(work, "lnav"), "-c", ";" + sql, "-c", ":write-json-to -", log],
        capture_output=True, text=True, env=dict(os.environ, HOME=os.path.join(work, "lnav-home")), check=True)
    return json.loads(result.stdout or "[]")


def lnav_rows(work, log):
    columns = ", ".join(["log_level", "log_time", "log_body"] + FIELDS)
    return lnav_query(work, log, f"SELECT {columns} FROM quillon_log ORDER BY log_line")


def lnav_level_counts(work, log):
    rows = lnav_query(work, log, "SELECT log_level, count(*) AS entries FROM quillon_log GROUP BY log_level")
    return {row["log_level"]: row["entries"] for row in rows}


def lnav_time(match):
    month, day, year = match["date"].split(",")[0].split("-")
    return f"{year}-{MONTHS.index(month) + 1:02d}-{day} {match['time']}"


def check_lnav(work, log, lines):
    # lnav shows the lines before a file's first time group in no entry; every
    # line after it is an entry of its own, a line without groups at level
    # "invalid".
    first = next(i for i, line in enumerate(lines) if LINE.match(line))
    shown = lines[first:]
    expected_counts = {}
    for line in shown:
        match = LINE.match(line)
        level = LNAV_LEVEL[match["level"]] if match else "invalid"
        expected_counts[level] = expected_counts.get(level, 0) + 1
    check(f"lnav entries per level in {log}", lnav_level_counts(work, log), expected_counts)
    rows = lnav_rows(work, log)
    check(f"lnav entries in {log}", len(rows), len(shown))
    for row, line in zip(rows, shown):
        match = LINE.match(line)
        if not match:
            check(f"lnav entry of [{line}]", (row["log_level"], row["log_body"]), ("invalid", line))
            continue
        expected = {name: match[name] for name in FIELDS}
        expected["code"] = int(expected["code"]) if expected["code"] else None
        expected["line"] = int(expected["line"])
        found = {name: row[name] for name in FIELDS}
        check(f"lnav fields of [{line}]", found, expected)
        check(f"lnav time, level and body of [{line}]", (row["log_time"], row["log_level"], row["log_body"]),
              (lnav_time(match), LNAV_LEVEL[match["level"]], match["message"]))


def check_lognormalizer(rulebase, log, lines):
    with open(log) as source:
        result = subprocess.run(["lognormalizer", "-r", rulebase, "-T", "-e", "json"], stdin=source,
                                capture_output=True, text=True, check=True)
    records = [json.loads(text) for text in result.stdout.splitlines()]
    check(f"lognormalizer records of {log}", len(records), len(lines))
    for record, line in zip(records, lines):
        match = LINE.match(line)
        if match:
            expected = {name: value for name, value in match.groupdict().items() if value is not None}
            expected["event.tags"] = ["quillon"]
        else:
            expected = {"message": line, "event.tags": ["quillon-plain"]}
        check(f"lognormalizer fields of [{line}]", record, expected)


def main():
    work, rulebase, logs = sys.argv[1], sys.argv[2], sys.argv[3:]
    for name in logs:
        log = os.path.join(work, name)
        with open(log) as source:
            lines = source.read().splitlines()
        if not any(LINE.match(line) for line in lines):
            failures.append(f"{log}: no log line at all:\n" + "\n".join(lines))
            continue
        check_lnav(work, log, lines)
        check_lognormalizer(rulebase, log, lines)
        plain = sum(1 for line in lines if not LINE.match(line))
        print(f"check_lines: {name}: {len(lines)} lines, {plain} without groups")
    for failure in failures:
        print(failure, file=sys.stderr)
    if failures:
        sys.exit(f"check_lines: {len(failures)} mismatches")
    print("check_lines: lnav and lognormalizer read every line as it is")


if __name__ == "__main__":
    main()
