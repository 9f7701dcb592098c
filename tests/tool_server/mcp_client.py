"""Drives `kelvane --mcp` with raw lines and collects what it answers (shared by the tests)."""
import json
import os
import queue
import struct
import subprocess
import threading
import time
import zlib


class Server:
    """One server process; every stdout line must be one complete JSON message."""

    def __init__(self, binary, cwd=None, env=None):
        self.process = subprocess.Popen(
            [binary, "--mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, cwd=cwd, env=env)
        self.messages = queue.Queue()
        self.bad_lines = []
        self.stderr = b""
        self._out = threading.Thread(target=self._read_out, daemon=True)
        self._err = threading.Thread(target=self._read_err, daemon=True)
        self._out.start()
        self._err.start()
        self._next_id = 1000

    def _read_out(self):
        for line in self.process.stdout:
            try:
                if not line.endswith(b"\n"):
                    raise ValueError("line without line feed")
                self.messages.put(json.loads(line))
            except ValueError:
                self.bad_lines.append(line)

    def _read_err(self):
        chunks = []
        for chunk in iter(lambda: self.process.stderr.read1(65536), b""):
            chunks.append(chunk)
            self.stderr = b"".join(chunks)

    def write(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message):
        self.write(json.dumps(message) + "\n")

    def request(self, method, params=None, id=None):
        if id is None:
            self._next_id += 1
            id = self._next_id
        message = {"jsonrpc": "2.0", "id": id, "method": method}
        if params is not None:
            message["params"] = params
        self.send(message)
        return id

    def call(self, name, arguments, id=None, meta=None):
        params = {"name": name, "arguments": arguments}
        if meta is not None:
            params["_meta"] = meta
        return self.request("tools/call", params, id)

    def next(self, timeout=30):
        return self.messages.get(timeout=timeout)

    def reply(self, id, timeout=60, others=None):
        """The reply to `id`; anything else that arrives first goes to `others` (or fails)."""
        deadline = time.monotonic() + timeout
        while True:
            message = self.messages.get(timeout=max(0.01, deadline - time.monotonic()))
            if message.get("id") == id and "method" not in message:
                return message
            if others is None:
                raise AssertionError("unexpected message before reply %r: %r" % (id, message))
            others.append(message)

    def silence(self, seconds=0.5):
        """Everything that arrives within `seconds`."""
        time.sleep(seconds)
        seen = []
        while not self.messages.empty():
            seen.append(self.messages.get_nowait())
        return seen

    def close(self, timeout=30):
        self.process.stdin.close()
        code = self.process.wait(timeout=timeout)
        self._out.join(timeout)
        self._err.join(timeout)
        return code

    def peak_memory_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except (OSError, ValueError):
                pass


def text_of(reply):
    return reply["result"]["content"][0]["text"]


def write_png(path, width, height):
    """An RGB gradient PNG written with zlib alone."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    rows = b"".join(
        b"\0" + bytes(v for x in range(width) for v in ((x * 255) // max(1, width - 1), (y * 255) // max(1, height - 1), (x + y) % 256))
        for y in range(height))
    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(data)


def write_text(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
