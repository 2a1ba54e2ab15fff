"""Starts the emulated array and zelcamera for the camera's tests, and speaks to the camera:
HTTP through urllib, the map stream through a minimal WebSocket client on a plain socket."""

import base64
import json
import os
import signal
import socket
import struct
import subprocess
import time
import urllib.error
import urllib.request

ZELSIM = os.environ["ZELSIM"]
ZELCAMERA = os.environ["ZELCAMERA"]
GEOMETRY = os.environ["ZEL_GEOMETRY"]
PORT = int(os.environ.get("ZELCAMERA_PORT", "8080"))
BASE = f"http://127.0.0.1:{PORT}"
HEADER_BYTES = 96


class Camera:
    """zelsim with `sim_args` and zelcamera with `camera_args`, stopped on exit."""

    def __init__(self, sim_args=(), camera_args=()):
        self.sim = subprocess.Popen([ZELSIM, *sim_args], stderr=subprocess.PIPE)
        time.sleep(0.3)
        self.camera = subprocess.Popen(
            [ZELCAMERA, "--geometry", GEOMETRY, "--port", str(PORT), *camera_args],
            stderr=subprocess.PIPE, text=True)
        try:
            self.wait_for_maps()
        except Exception:
            self.stop()
            raise

    def wait_for_maps(self, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.camera.poll() is not None:
                raise RuntimeError(f"zelcamera ended with status {self.camera.returncode}")
            try:
                if get_json("/api/status")["maps"] > 0:
                    return
            except (OSError, urllib.error.URLError):
                pass
            time.sleep(0.1)
        raise RuntimeError("zelcamera made no map in time")

    def stop(self):
        """Stops zelcamera with SIGTERM; returns its exit status and standard error."""
        if self.camera.poll() is None:
            self.camera.send_signal(signal.SIGTERM)
        try:
            _, err = self.camera.communicate(timeout=10)
        finally:
            self.sim.send_signal(signal.SIGTERM)
            self.sim.communicate(timeout=10)
        return self.camera.returncode, err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.camera.poll() is None:
            self.stop()


def request(path, body=None, method=None):
    """(status, body bytes) of a request; refusals are answers, not exceptions."""
    data = body.encode() if isinstance(body, str) else body
    req = urllib.request.Request(BASE + path, data=data, method=method)
    if data is not None:
        req.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def get_json(path):
    status, body = request(path)
    if status != 200:
        raise RuntimeError(f"{path}: {status} {body!r}")
    return json.loads(body)


def post_settings(settings):
    status, body = request("/api/settings", json.dumps(settings), "POST")
    return status, json.loads(body)


class MapStream:
    """A WebSocket client of /ws that reads whole binary frames. A small `receive_buffer` makes
    a page that stops reading hold up its sender at once."""

    def __init__(self, receive_buffer=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", PORT))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((
            "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = self.sock.recv(1)
            if not chunk:
                raise ConnectionError("closed during the handshake")
            reply += chunk
        if not reply.startswith(b"HTTP/1.1 101"):
            raise ConnectionError(reply.decode(errors="replace"))

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("stream closed")
            data += chunk
        return data

    def frame(self):
        """The next map: (header dict, float32 values as bytes)."""
        while True:
            b0, b1 = self._exactly(2)
            length = b1 & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._exactly(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._exactly(8))[0]
            payload = self._exactly(length)
            if b0 & 0x0F == 2:
                return parse_header(payload), payload[HEADER_BYTES:]

    def close(self):
        self.sock.close()


def parse_header(payload):
    tag = payload[:4]
    nx, ny, band = struct.unpack_from("<3I", payload, 4)
    (freq, t, px, py, pz, level, x_min, y_min, inc) = struct.unpack_from("<9d", payload, 16)
    sequence, skips = struct.unpack_from("<2I", payload, 88)
    return dict(tag=tag, nx=nx, ny=ny, band=band, freq=freq, time=t, peak=(px, py, pz, level),
                x_min=x_min, y_min=y_min, increment=inc, sequence=sequence, skips=skips,
                length=len(payload))
