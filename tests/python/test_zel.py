"""The Python package against the emulated array: data, readers, losses, errors and files."""
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import h5py
import numpy as np
import pytest

import zel
from conftest import record

SCALE = np.float32(2.0**-23)


def check_ramp(data, nfnbr=None):
    """Channel c of every frame holds (c << 18) | position, the position counting frames.
    With nfnbr, the first frame lies in that datagram."""
    ints = np.rint(data / SCALE).astype(np.int64) if data.dtype == np.float32 else data
    low = ints[:, 0] & 0x3FFFF
    expected_low = (low[0] + np.arange(len(ints))) & 0x3FFFF
    assert np.array_equal(low, expected_low), "positions do not follow one another"
    channels = np.arange(64) << 18
    raw = channels[None, :] | expected_low[:, None]
    expected = np.where(raw >= 1 << 23, raw - (1 << 24), raw)
    assert np.array_equal(ints, expected)
    if data.dtype == np.float32:
        assert np.array_equal(data, (expected * SCALE).astype(np.float32))
    if nfnbr is not None:
        assert 0 <= low[0] - (nfnbr * 5 & 0x3FFFF) < 5
    return int(low[0])


# -- data ------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype,blocksize", [("int32", 4410), ("float32", 4410), ("int32", 1024)])
def test_blocks_carry_the_ramp_by_iteration_and_read(emulator, dtype, blocksize):
    emulator()
    with zel.Array() as array:
        assert (array.id, array.prom, array.rate, array.slave) == (4660, "ZELSIM01", 44100, False)
        with array.capture(blocksize=blocksize, dtype=dtype) as stream:
            starts = []
            for block in stream:
                assert block.data.shape == (blocksize, 64) and block.data.dtype == dtype
                assert abs(block.time - time.time()) < 5 and not block.overflowed
                starts.append(check_ramp(block.data, block.nfnbr))
                if len(starts) == 3:
                    break
            data, overflowed = stream.read()
            starts.append(check_ramp(data))
            data, _ = stream.read(2 * blocksize)
            starts.append(check_ramp(data))
            assert not overflowed and stream.ok and not stream.overflowed
            assert stream.lost_frames == 0 and stream.kernel_drops == 0
        steps = np.diff(starts) & 0x3FFFF
        assert list(steps) == [blocksize] * 4


def test_two_readers_on_two_threads_each_see_every_frame(emulator):
    emulator()
    seen = []
    with zel.Array() as array:
        with array.capture(blocksize=4410, dtype="int32", silence_limit=1.0) as stream:
            reader = stream.reader(441)

            def read_all():
                for block in reader:
                    seen.append(check_ramp(block.data))

            thread = threading.Thread(target=read_all)
            thread.start()
            main = [check_ramp(block.data) for _, block in zip(range(5), stream)]
        thread.join(timeout=5)
    assert not thread.is_alive(), "the reader did not end with the capture"
    assert len(seen) >= 40
    assert set(np.diff(seen) & 0x3FFFF) == {441}
    assert set(np.diff(main) & 0x3FFFF) == {4410}


def test_rec_returns_the_requested_frames(emulator):
    emulator()
    data = zel.rec(0.25, dtype="int32", rate=22050)
    assert data.shape == (5512, 64)
    check_ramp(data)


# -- health ----------------------------------------------------------------------------------


def test_lost_datagrams_are_counted_and_come_as_silence(emulator):
    emulator("--drop-every", "100")
    with zel.Array() as array:
        with array.capture(blocksize=4410, dtype="int32") as stream:
            blocks = [block.data for _, block in zip(range(10), stream)]
        lost = stream.lost_frames
    silent = sum(int((b == 0).all(axis=1).sum()) for b in blocks)
    # 10 blocks of 882 datagrams, one in 100 dropped; the last gap shows when the next arrives.
    assert lost % 5 == 0 and 80 * 5 <= lost <= 95 * 5
    assert silent >= 80 * 5 and stream.kernel_drops == 0 and not stream.overflowed
    # The emulator's drops never reached this host.
    assert (stream.host_dropped_frames, stream.network_lost_frames) == (0, lost)


@pytest.mark.parametrize("realtime", [True, False])
def test_the_stream_tells_whether_its_capture_runs_real_time(emulator, realtime):
    emulator()
    with zel.Array() as array:
        with pytest.raises(TypeError):
            array.capture(realtime=1)
        with array.capture(realtime=realtime) as stream:
            stream.read()
            got = stream.realtime
        assert stream.realtime == got
    # Root may have real-time priority; nobody gets it when it is turned off.
    assert got == (realtime and os.geteuid() == 0)


def test_a_sleeping_reader_is_told_it_overflowed(emulator):
    emulator()
    with zel.Array(ring_mb=16) as array:  # 16 MB: about 2 s at 44100 Hz
        with array.capture(blocksize=4410, dtype="int32") as stream:
            _, first = stream.read()
            time.sleep(2.5)
            data, later = stream.read()
            check_ramp(data)
            assert (first, later) == (False, True)
            assert stream.overflowed and stream.overflows == 1


def test_ctrl_c_ends_a_reading_loop_cleanly(emulator):
    emulator()
    script = textwrap.dedent("""
        import zel
        with zel.Array() as array, array.capture(blocksize=44100) as stream:
            try:
                for block in stream:
                    print("block", flush=True)
            except KeyboardInterrupt:
                print("stopped", flush=True)
        print("closed", stream.lost_frames, flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                            env=os.environ)
    assert proc.stdout.readline() == "block\n"
    start = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=10)
    assert time.monotonic() - start < 0.5, "Ctrl-C waited for the next 1 s block"
    assert proc.returncode == 0 and out.endswith("stopped\nclosed 0\n")


# -- errors ----------------------------------------------------------------------------------


@pytest.mark.parametrize("call,error", [
    (lambda: zel.Array(address=5), TypeError),
    (lambda: zel.Array(address="300.1.1.1"), ValueError),
    (lambda: zel.Array(ring_mb=8), ValueError),
    (lambda: zel.rec(-1), ValueError),
    (lambda: zel.rec(1, dtype="int16"), ValueError),
    (lambda: zel.read_raw(3), TypeError),
])
def test_bad_arguments_are_refused_before_the_library(call, error):
    with pytest.raises(error):
        call()


def test_failures_raise_zelerror_with_the_library_code_and_text(emulator, tmp_path):
    with pytest.raises(zel.ZelError) as e:
        zel.Array("127.0.0.9")
    assert e.value.code == zel.ZEL_ERECV and "Error receiving data from Zel" in str(e.value)
    assert e.value.name == "ZEL_ERECV"
    emulator()
    (tmp_path / "short.bin").write_bytes(b"\0" * 100)
    with zel.Array() as array:
        for kwargs, error in [({"blocksize": 0}, ValueError), ({"dtype": "int16"}, ValueError),
                              ({"calibration": "x"}, TypeError), ({"wait_frame": 70000},
                                                                   ValueError),
                              ({"silence_limit": 0.01}, ValueError),
                              ({"silence_limit": "1"}, TypeError)]:
            with pytest.raises(error):
                array.capture(**kwargs)
        with pytest.raises(ValueError):
            array.configure(rate=48000)
        with pytest.raises(zel.ZelError) as e:
            array.capture(calibration=(tmp_path / "short.bin", tmp_path / "short.bin"))
        assert e.value.code == zel.ZEL_ENORMFILES
        with array.capture(blocksize=4410) as stream:
            with pytest.raises(ValueError):
                stream.reader(1000)  # not a divisor of 4410
            with pytest.raises(zel.ZelError) as e:
                array.capture().start()
            assert e.value.code == zel.ZEL_EORDER
            with pytest.raises(zel.ZelError) as e:
                array.configure(rate=22050)
            assert e.value.code == zel.ZEL_EORDER
        with pytest.raises(zel.ZelError) as e:
            stream.read()
        assert e.value.code == zel.ZEL_EORDER and "authorized order" in str(e.value)


# -- files -----------------------------------------------------------------------------------


def test_read_raw_decodes_a_zelrecord_capture(emulator, tmp_path):
    emulator()
    raw = record(tmp_path, "take.raw", "-s", "4410")
    ints = zel.read_raw(raw)
    assert ints.shape == (4410, 64) and ints.dtype == np.int32
    check_ramp(ints)
    assert np.array_equal(zel.read_raw(raw, dtype="float32"), ints * SCALE)
    (tmp_path / "cut.raw").write_bytes(raw.read_bytes()[:-1])
    with pytest.raises(ValueError):
        zel.read_raw(tmp_path / "cut.raw")
    (tmp_path / "empty.raw").write_bytes(b"")
    assert zel.read_raw(tmp_path / "empty.raw").shape == (0, 64)


def test_h5_file_holds_the_raw_recording_of_the_same_signal(emulator, tmp_path):
    sim = emulator("--signal", "noise")
    source = zel.read_raw(record(tmp_path, "noise.raw", "-s", "4410"))
    sim.stop()
    # The same frames played again, from the file, into an HDF5 recording.
    emulator("--signal", f"file:{tmp_path / 'noise.raw'}")
    started = time.time()
    h5 = record(tmp_path, "take.h5", "-s", "10000")
    with h5py.File(h5, "r") as f:
        data = f["time_data"]
        assert data.shape == (10000, 64) and data.dtype == np.float32
        assert data.chunks is not None and data.maxshape == (None, 64)
        assert data.attrs["sample_freq"] == 44100.0
        assert abs(data.attrs["start_time"] - started) < 5
        assert (data.attrs["lost_frames"], data.attrs["kernel_drops"]) == (0, 0)
        values = data[...]
    first = np.flatnonzero((source == np.rint(values[0] / SCALE)).all(axis=1))
    assert len(first) == 1, "the recording's first frame is not one of the file's"
    rows = (first[0] + np.arange(len(values))) % len(source)
    assert np.array_equal(values, source[rows] * SCALE)


# -- examples --------------------------------------------------------------------------------

EXAMPLES = pathlib.Path(__file__).parents[2] / "python/examples"


@pytest.mark.parametrize("argv,picture", [
    (["levels.py", "--seconds", "0.5", "--channel", "5", "--out", "levels.png"], "levels.png"),
    (["record_and_plot.py"], "channel0.png"),
])
def test_examples_save_their_pictures(emulator, tmp_path, argv, picture):
    emulator("--signal", "tone")
    subprocess.run([sys.executable, str(EXAMPLES / argv[0]), *argv[1:]], cwd=tmp_path, check=True,
                   timeout=60, capture_output=True)
    assert (tmp_path / picture).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
