"""The emulated array and the programs of the build, for the tests of the Python package."""
import os
import pathlib
import signal
import subprocess
import time

import pytest

BUILD = pathlib.Path(os.environ.get("ZEL_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build"))
ZELSIM = os.environ.get("ZELSIM", str(BUILD / "tools/zelsim/zelsim"))
ZELRECORD = os.environ.get("ZELRECORD", str(BUILD / "tools/zelrecord/zelrecord"))


class Emulator:
    def __init__(self, *args):
        self.proc = subprocess.Popen([ZELSIM, *args], stderr=subprocess.PIPE, text=True)
        self.summary = ""
        # Ready once it answers: a connection is the cheapest question.
        import zel

        deadline = time.monotonic() + 5
        while True:
            try:
                zel.Array().close()
                return
            except zel.ZelError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        _, self.summary = self.proc.communicate(timeout=10)


@pytest.fixture
def emulator():
    """Starts zelsim with the given arguments; stopped at the end of the test."""
    started = []

    def start(*args):
        sim = Emulator(*args)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


def record(tmp_path, name, *args):
    """Runs zelrecord quietly into tmp_path/name and returns the path."""
    out = tmp_path / name
    subprocess.run([ZELRECORD, "-q", *args, str(out)], check=True, timeout=30)
    return out
