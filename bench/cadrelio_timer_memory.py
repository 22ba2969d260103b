"""Memory of a million cancelled timers: call_later(3600, f) then cancel(), on cadrelio and asyncio.

Usage: python bench/cadrelio_timer_memory.py [cadrelio|asyncio] [count]
Prints the resident set before, at its peak (all timers scheduled) and after cancelling.
"""
import asyncio
import gc
import sys


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def main():
    kind = sys.argv[1] if len(sys.argv) > 1 else "cadrelio"
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
    if kind == "cadrelio":
        import cadrelio
        loop = cadrelio.new_event_loop()
    else:
        loop = asyncio.new_event_loop()
    gc.collect()
    before = status_kib("VmRSS")
    handles = [loop.call_later(3600, print) for _ in range(count)]
    scheduled = status_kib("VmRSS")
    for handle in handles:
        handle.cancel()
    del handles, handle
    gc.collect()
    after_cancel = status_kib("VmRSS")
    # asyncio drops cancelled timers only when its loop next runs an iteration.
    loop.run_until_complete(asyncio.sleep(0))
    gc.collect()
    after_pass = status_kib("VmRSS")
    peak = status_kib("VmHWM")
    loop.close()
    print(f"{kind}: {count} timers: RSS before {before / 1024:.1f} MiB, with all scheduled "
          f"{scheduled / 1024:.1f} MiB, peak {peak / 1024:.1f} MiB, after cancel() "
          f"{after_cancel / 1024:.1f} MiB, after one loop pass {after_pass / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
