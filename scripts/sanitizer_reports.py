"""Reads the sanitizer logs of a test run and fails when any report concerns the extension.

Usage: sanitizer_reports.py LOG_DIR

Every report other than a leak fails the run.
- A memory leak fails it when a frame of its allocation stack lies in the extension; leaks made
  wholly inside the uninstrumented interpreter (which keeps objects until exit) are counted and
  ignored.
- A thread leak (a finished thread nobody joined) fails it when the extension started the
  thread: the first frame above pthread_create and the C++ library is ours. From 3.13 the
  interpreter leaves its own threads unjoined at exit; those are counted and ignored.
"""
import pathlib
import re
import sys

LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")
OUR_FRAME = re.compile(r"/src/(runtime|binding|loop|aio)/|cadrel\.cpython|_native\.cpython")
TSAN_SEPARATOR = "=================="
THREAD_LEAK = "WARNING: ThreadSanitizer: thread leak"
FRAME = re.compile(r"^\s*#(\d+) ")
THREAD_START = re.compile(r"pthread_create|libtsan|libstdc\+\+|std::thread")


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


def tsan_reports(text):
    """The reports of a ThreadSanitizer log, each the text between two separator lines."""
    blocks, current = [], []
    for line in text.splitlines():
        if line.strip() == TSAN_SEPARATOR:
            if any(part.strip() for part in current):
                blocks.append("\n".join(current))
            current = []
        else:
            current.append(line)
    if any(part.strip() for part in current):
        blocks.append("\n".join(current))
    return blocks


def started_by_us(report):
    """Whether the leaked thread of a thread-leak report was started by the extension."""
    for line in report.splitlines():
        match = FRAME.match(line)
        if match and int(match.group(1)) > 0 and not THREAD_START.search(line):
            return bool(OUR_FRAME.search(line))
    return True  # no creator frame to judge by: count it


def main(log_dir):
    failures, ignored_records, ignored_bytes, ignored_threads = [], 0, 0, 0
    for log in sorted(pathlib.Path(log_dir).iterdir()):
        text = log.read_text(errors="replace")
        if "LeakSanitizer: detected memory leaks" in text and "ERROR: AddressSanitizer:" not in text:
            for header, frames in leak_records(text):
                if any(OUR_FRAME.search(frame) for frame in frames):
                    failures.append(f"{log.name}: {header}\n" + "\n".join(frames))
                else:
                    ignored_records += 1
                    ignored_bytes += int(LEAK_HEADER.match(header).group(2))
        elif THREAD_LEAK in text:
            for report in tsan_reports(text):
                if THREAD_LEAK in report and not started_by_us(report):
                    ignored_threads += 1
                else:
                    failures.append(f"{log.name}:\n{report}")
        elif text.strip():
            failures.append(f"{log.name}:\n{text}")
    if ignored_records:
        print(f"sanitizer reports: ignored {ignored_records} leak records ({ignored_bytes} bytes) "
              "allocated wholly inside the interpreter")
    if ignored_threads:
        print(f"sanitizer reports: ignored {ignored_threads} thread-leak reports of threads the "
              "interpreter started")
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"sanitizer reports: {len(failures)} concerning cadrel")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
