"""Reads the sanitizer logs of a test run and fails when any report concerns the extension.

Usage: sanitizer_reports.py LOG_DIR

Every report other than a leak fails the run. A leak fails it when a frame of its allocation
stack lies in the extension; leaks made wholly inside the uninstrumented interpreter (which keeps
objects until exit) are counted and ignored.
"""
import pathlib
import re
import sys

LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
OUR_FRAME = re.compile(r"/src/(runtime|binding|loop|aio)/|cadrel\.cpython|_native\.cpython")


def leak_records(text):
    """Yields (header, frames) for each leak record of a LeakSanitizer report."""
    lines = text.splitlines()
    for index, line in enumerate(lines):
        if LEAK_HEADER.match(line):
            frames = []
            for frame in lines[index + 1:]:
                if not frame.strip():
                    break
                frames.append(frame)
            yield line, frames


def main(log_dir):
    failures, ignored_records, ignored_bytes = [], 0, 0
    for log in sorted(pathlib.Path(log_dir).iterdir()):
        text = log.read_text(errors="replace")
        if "LeakSanitizer: detected memory leaks" in text and "ERROR: AddressSanitizer:" not in text:
            for header, frames in leak_records(text):
                if any(OUR_FRAME.search(frame) for frame in frames):
                    failures.append(f"{log.name}: {header}\n" + "\n".join(frames))
                else:
                    ignored_records += 1
                    ignored_bytes += int(LEAK_HEADER.match(header).group(2))
        elif text.strip():
            failures.append(f"{log.name}:\n{text}")
    if ignored_records:
        print(f"sanitizer reports: ignored {ignored_records} leak records ({ignored_bytes} bytes) "
              "allocated wholly inside the interpreter")
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"sanitizer reports: {len(failures)} concerning cadrel")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
