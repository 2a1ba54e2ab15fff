"""zelcamera without a browser: the JSON interface, refusals, the map stream to several pages
(one of them stalled), the stop signal and the command line's exit statuses."""

import io
import signal
import socket
import subprocess
import time
import unittest

import numpy

import camera_harness as h


class JsonInterface(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cam = h.Camera(["--signal", "noise"], ["--grid", "-0.2,0.2,-0.2,0.2,-0.3,0.01"])

    @classmethod
    def tearDownClass(cls):
        status, err = cls.cam.stop()
        assert status == 0, err

    def test_status_and_map_agree(self):
        time.sleep(1.5)
        s = h.get_json("/api/status")
        self.assertEqual((s["array"]["id"], s["rate"]), (4660, 44100))
        self.assertEqual((s["grid"]["nx"], s["grid"]["ny"]), (41, 41))
        self.assertGreaterEqual(s["maps_per_second"], 20)
        self.assertEqual(len(s["levels"]), 64)
        self.assertEqual(s["loss"]["lost_frames"], 0)
        status, body = h.request("/api/map.npy")
        self.assertEqual(status, 200)
        m = numpy.load(io.BytesIO(body))
        self.assertEqual((m.shape, m.dtype), ((41, 41), numpy.float64))
        self.assertTrue(numpy.isfinite(m).all())

    def test_settings_change_the_engine_or_are_refused_with_a_reason(self):
        status, body = h.post_settings({"freq": 2000, "band": "octave", "window": 0.5})
        self.assertEqual(status, 200, body)
        self.assertEqual((body["freq"], body["band"], body["window"]), (2000, "octave", 0.5))
        s = h.get_json("/api/status")
        self.assertEqual((s["freq"], s["band"]), (2000, "octave"))
        for bad in [{"band": "fifth"}, {"freq": -1}, {"freq": 30000}, {"window": 10},
                    {"freq": 20, "band": "third"}, {"nonsense": 1}]:
            status, body = h.post_settings(bad)
            self.assertEqual(status, 400, bad)
            self.assertTrue(body["error"], bad)
        self.assertEqual(h.get_json("/api/status")["band"], "octave")  # unchanged
        h.post_settings({"freq": 4000, "band": "third", "window": 0.25})

    def test_bad_requests_get_a_4xx(self):
        cases = [("/nothing", None, None, 404), ("/api/settings", None, "GET", 405),
                 ("/api/settings", "not json", "POST", 400),
                 ("/api/settings", "x" * 100000, "POST", 413)]
        for path, body, method, expected in cases:
            self.assertEqual(h.request(path, body, method)[0], expected, path)
        # A request cut off in the middle, and garbage instead of HTTP: the server lives on.
        for raw in [b"POST /api/settings HTTP/1.1\r\nContent-Length: 50\r\n\r\n{\"fr",
                    b"\x00\xff garbage\r\n\r\n", b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n"]:
            with socket.create_connection(("127.0.0.1", h.PORT), timeout=5) as s:
                s.sendall(raw)
        self.assertEqual(h.request("/api/status")[0], 200)

    def test_every_page_gets_maps_while_a_stalled_one_holds_up_nothing(self):
        stalled = h.MapStream(receive_buffer=4096)  # never read: its socket buffers fill, its maps are dropped
        pages = [h.MapStream() for _ in range(3)]
        before = h.get_json("/api/status")
        time.sleep(3)
        for page in pages:
            header, values = page.frame()
            self.assertEqual((header["tag"], header["nx"], header["ny"]), (b"ZMAP", 41, 41))
            self.assertEqual(len(values), 41 * 41 * 4)
            first = header["sequence"]
            for _ in range(30):
                header, _ = page.frame()
            self.assertGreaterEqual(header["sequence"], first + 30)
        after = h.get_json("/api/status")
        self.assertGreaterEqual(after["clients"], 4)
        self.assertGreaterEqual(after["maps"] - before["maps"], 60)
        self.assertEqual(after["loss"]["lost_frames"], 0)
        self.assertEqual(after["loss"]["overflows"], 0)
        for page in pages + [stalled]:
            page.close()


class CommandLine(unittest.TestCase):
    def run_camera(self, *args):
        return subprocess.run([h.ZELCAMERA, *args], capture_output=True, text=True, timeout=30)

    def test_bad_arguments_end_with_status_2(self):
        for args in [[], ["--geometry"], ["--geometry", h.GEOMETRY, "--band", "fifth"],
                     ["--geometry", h.GEOMETRY, "--grid", "1,2,3"],
                     ["--geometry", h.GEOMETRY, "--grid", "0,1,0,1,1,-0.1"],
                     ["--geometry", h.GEOMETRY, "--port", "0"],
                     ["--geometry", h.GEOMETRY, "--listen", "localhost"],
                     ["--geometry", "/nonexistent.xml"], ["--geometry", h.GEOMETRY, "extra"]]:
            r = self.run_camera(*args)
            self.assertEqual(r.returncode, 2, (args, r.stderr))
            self.assertTrue(r.stderr.startswith("zelcamera: "), r.stderr)

    def test_an_array_that_does_not_answer_is_one_message_and_status_1(self):
        r = self.run_camera("--geometry", h.GEOMETRY, "-D", "127.0.0.2")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)

    def test_a_held_off_engine_skips_ahead_and_sigterm_stops_cleanly_with_the_loss_summary(self):
        cam = h.Camera(["--signal", "noise"], ["--no-realtime"])
        try:
            self.check_skip_ahead_and_stop(cam)
        finally:
            if cam.camera.returncode is None:
                cam.stop()  # a failed check leaves the port free for the next test

    def check_skip_ahead_and_stop(self, cam):
        stalled = h.MapStream(receive_buffer=4096)  # must not keep the camera from stopping
        # Held off the CPU as a whole, the camera comes back behind the capture: the engine
        # passes over the old buffers instead of beamforming them late.
        before = h.get_json("/api/status")
        cam.camera.send_signal(signal.SIGSTOP)
        time.sleep(0.6)
        cam.camera.send_signal(signal.SIGCONT)
        time.sleep(1.5)
        after = h.get_json("/api/status")
        self.assertGreater(after["engine"]["skips"], before["engine"]["skips"])
        self.assertGreater(after["maps"], before["maps"])
        self.assertEqual(after["capture"]["priority"], "capture at normal priority")
        loss = after["loss"]
        self.assertEqual(loss["host_dropped_frames"] + loss["network_missing_frames"],
                         loss["lost_frames"])
        self.assertEqual(bool(loss["host_warning"]), loss["host_dropped_frames"] > 0)
        start = time.monotonic()
        status, err = cam.stop()
        self.assertEqual(status, 0, err)
        self.assertLess(time.monotonic() - start, 5)
        self.assertIn("this machine only", err)
        self.assertIn("capture at normal priority", err)
        self.assertRegex(err, r"lost frames \d+ \(host \d+, network \d+\)")
        stalled.close()

if __name__ == "__main__":
    unittest.main(verbosity=2)
