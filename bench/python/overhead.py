"""CPU of the Python read path beside the C default reader, at the real rate, in one run.

    tests/netns.sh /usr/bin/python3 bench/python/overhead.py [BUILD] [SECONDS] [FRAMES] [ROUNDS]

Starts the emulator (its CPU is its own process's), then, one after the other, the C default
reader copying each buffer, the same reader also decoding to float, and the zel package's
blocks as float32 and int32; each prints the CPU seconds per second of its own process over the
same measured window, after a warm-up. The four take turns for ROUNDS rounds (default 3) and
the median of each is shown, so that a change in the machine's load falls on all of them.
"""
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]

PYTHON_READER = """
import resource, sys, time
import zel

def cpu():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime

seconds, frames, dtype = float(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
with zel.Array() as array:
    array.configure(rate=44100, slave=False)
    with array.capture(blocksize=frames, dtype=dtype) as stream:
        t0 = time.monotonic()
        cpu0 = None
        blocks = 0
        for block in stream:
            blocks += 1
            now = time.monotonic()
            if cpu0 is None and now - t0 >= 0.5:
                cpu0, t1 = cpu(), now
            if now - t0 >= 0.5 + seconds:
                break
        used = (cpu() - cpu0) / (time.monotonic() - t1)
        print(f"{used:.5f} {blocks} {stream.lost_frames}")
"""


def run(argv, env):
    out = subprocess.run(argv, env=env, check=True, capture_output=True, text=True, timeout=120)
    cpu, buffers, lost = out.stdout.split()
    return float(cpu), int(buffers), int(lost)


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    frames = int(sys.argv[3]) if len(sys.argv) > 3 else 4410
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    env = dict(os.environ, ZEL_LIBRARY=str(build / "lib/libzel.so.1"),
               PYTHONPATH=str(ROOT / "python"))
    sim = subprocess.Popen([str(build / "tools/zelsim/zelsim")], stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    try:
        c_reader = str(build / "bench/python/bench_c_reader")
        readers = [
            ("C default reader, copy", [c_reader, str(seconds), str(frames)]),
            ("C default reader, copy + float decode",
             [c_reader, str(seconds), str(frames), "decode"]),
            ("Python blocks, float32",
             [sys.executable, "-c", PYTHON_READER, str(seconds), str(frames), "float32"]),
            ("Python blocks, int32",
             [sys.executable, "-c", PYTHON_READER, str(seconds), str(frames), "int32"]),
        ]
        results = {name: [] for name, _ in readers}
        for _ in range(rounds):
            for name, argv in readers:
                results[name].append(run(argv, env))
        rows = [(name, (statistics.median(r[0] for r in runs), runs[-1][1],
                        max(r[2] for r in runs))) for name, runs in results.items()]
    finally:
        sim.send_signal(signal.SIGINT)
        sim.wait(timeout=10)
    base = rows[0][1][0]
    print(f"CPU at 44100 Hz, {frames}-frame blocks, {seconds:g} s measured each, "
          f"median of {rounds} rounds, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
    print(f"{'reader':40s} {'CPU s/s':>9s} {'vs C copy':>10s} {'buffers':>8s} {'lost':>6s}")
    for name, (cpu, buffers, lost) in rows:
        print(f"{name:40s} {cpu:9.4f} {cpu / base:9.2f}x {buffers:8d} {lost:6d}")


if __name__ == "__main__":
    main()
