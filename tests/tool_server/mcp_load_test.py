"""The tool server under load and cancellation: every call answered exactly once with a complete
line, bounded memory under oversized input, bounded concurrency, cancellation and progress."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mcp_client import Server, text_of, write_text  # noqa: E402

BINARY = None
OVERSIZED = 17 << 20  # past the 16 MiB line bound
HUGE_LINE = b'{"jsonrpc":"2.0","id":"huge","method":"ping","params":"' + b"z" * OVERSIZED + b'"}\n'
ENORMOUS_LINE = b"[" * (96 << 20) + b"\n"  # held whole, this alone would pass the memory bound


class Load(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-mcp-load-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_fifty_calls_on_one_connection_with_garbage_and_huge_lines(self):
        server = Server(BINARY)
        try:
            for i in range(30):
                write_text(os.path.join(self.dir, "t%d.csv" % i), "n,v\n" + "%d,x\n" % i * 500)
            calls = []
            for i in range(50):
                if i % 5 == 0:
                    args = {"name": "list_supported_conversions", "arguments": {"file_extension": "csv"}}
                elif i % 5 == 1:
                    args = {"name": "convert_file", "arguments": {
                        "source_path": os.path.join(self.dir, "missing%d.csv" % i), "target_format": "json"}}
                else:
                    args = {"name": "convert_file", "arguments": {
                        "source_path": os.path.join(self.dir, "t%d.csv" % (i % 30)), "target_format": "json",
                        "output_dir": os.path.join(self.dir, "out")}}
                calls.append(json.dumps({"jsonrpc": "2.0", "id": i, "method": "tools/call", "params": args}))
            garbage = ['{"jsonrpc":"2.0","id":', "\x00\x01 garbage", "]]]]", '{"method":null}']
            huge = 0
            stream = []
            for i, line in enumerate(calls):
                stream.append(line.encode() + b"\n")
                if i % 5 == 2:
                    stream.append(garbage[i % len(garbage)].encode() + b"\n")
                if i % 12 == 3:
                    stream.append(HUGE_LINE)
                    huge += 1
            stream.insert(20, ENORMOUS_LINE)
            writer = threading.Thread(target=lambda: [server.write(chunk) for chunk in stream])
            writer.start()
            replies = {}
            deadline = time.monotonic() + 120
            while len(replies) < 50 and time.monotonic() < deadline:
                message = server.next(timeout=max(0.1, deadline - time.monotonic()))
                self.assertNotIn(message["id"], replies, "answered twice")
                replies[message["id"]] = message
            writer.join()
            self.assertEqual(sorted(replies), list(range(50)))
            self.assertEqual(server.silence(0.5), [], "nothing beyond one reply per call")
            for i, reply in replies.items():
                result = reply["result"]
                if i % 5 == 0:
                    self.assertTrue(text_of(reply).startswith(".csv (CSV, Document)"))
                elif i % 5 == 1:
                    self.assertEqual(text_of(reply), "No file at " + os.path.join(self.dir, "missing%d.csv" % i))
                else:
                    self.assertNotIn("isError", result, text_of(reply))
                    self.assertTrue(os.path.getsize(result["structuredContent"]["output_path"]) > 0)
            peak_mib = server.peak_memory_kib() / 1024
            self.assertEqual(server.close(), 0)
            err = server.stderr.decode("utf-8", "replace")
            self.assertEqual(err.count("unparseable frame (%d bytes)" % (len(HUGE_LINE) - 1)), huge)
            self.assertEqual(err.count("unparseable frame (%d bytes)" % (len(ENORMOUS_LINE) - 1)), 1)
            self.assertEqual(err.count("unparseable frame"), huge + 11)
            self.assertEqual(server.bad_lines, [])
            # The huge lines together are several times this; only one line's bound may be held.
            print("peak memory %.0f MiB over %d huge lines" % (peak_mib, huge))
            self.assertLess(peak_mib, 100)
        finally:
            server.kill()


def make_video(path, seconds):
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=duration=%d:size=640x360:rate=30" % seconds, "-c:v", "libx264",
                    "-preset", "ultrafast", path], check=True)


@unittest.skipUnless(shutil.which("ffmpeg"), "needs ffmpeg to make a long video")
class Cancellation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kv-mcp-cancel-")
        cls.video = os.path.join(cls.dir, "long.mp4")
        make_video(cls.video, 90)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_cancelled_calls_stop_send_nothing_and_leave_no_file(self):
        workers = os.cpu_count() or 1
        server = Server(BINARY)
        try:
            ids = ["v%d" % i for i in range(workers + 2)]
            for id in ids:
                os.makedirs(os.path.join(self.dir, id), exist_ok=True)
                server.call("convert_file", {"source_path": self.video, "target_format": "mov",
                                             "output_dir": os.path.join(self.dir, id)},
                            id=id, meta={"progressToken": "token-" + id})
            progress = {}
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and sum(len(v) for v in progress.values()) < 6:
                message = server.next(timeout=60)
                self.assertEqual(message["method"], "notifications/progress", message)
                params = message["params"]
                self.assertEqual(params["total"], 1)
                progress.setdefault(params["progressToken"], []).append(params["progress"])
            # Only as many calls run as there are cores; the others wait their turn.
            self.assertLessEqual(len(progress), workers, progress)
            for values in progress.values():
                self.assertEqual(values, sorted(set(values)))
                self.assertTrue(all(0 <= v <= 1 for v in values))
            for id in ids:
                server.send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                             "params": {"requestId": id, "reason": "test"}})
            started = time.monotonic()
            self.assertEqual(server.reply(server.request("ping", id="after"), others=[])["id"], "after")
            # Once stopped, the calls answer nothing; let any straggler show itself.
            late = [m for m in server.silence(2.0) if "id" in m]
            self.assertEqual(late, [])
            for id in ids:
                self.assertEqual(os.listdir(os.path.join(self.dir, id)), [], id)
            # The workers are free again.
            write_text(os.path.join(self.dir, "q.csv"), "a\n1\n")
            reply = server.reply(server.call("convert_file", {"source_path": os.path.join(self.dir, "q.csv"),
                                                              "target_format": "json"}, id="next"),
                                 others=[], timeout=30)
            self.assertNotIn("isError", reply["result"], text_of(reply))
            self.assertLess(time.monotonic() - started, 30)
            self.assertEqual(server.close(), 0)
        finally:
            server.kill()

    def test_a_cancelled_compression_stops_and_leaves_no_file(self):
        server = Server(BINARY)
        try:
            out = os.path.join(self.dir, "compress")
            os.makedirs(out, exist_ok=True)
            server.call("compress_file", {"source_path": self.video, "level": "small", "output_dir": out},
                        id="c", meta={"progressToken": "c"})
            message = server.next(timeout=60)
            self.assertEqual(message["params"]["progressToken"], "c", message)
            server.send({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": "c"}})
            self.assertEqual(server.reply(server.request("ping", id="after"), others=[])["id"], "after")
            self.assertEqual([m for m in server.silence(2.0) if "id" in m], [])
            self.assertEqual(os.listdir(out), [])
            self.assertEqual(server.close(), 0)
        finally:
            server.kill()

    def test_closing_input_stops_running_calls_and_exits(self):
        server = Server(BINARY)
        try:
            out = os.path.join(self.dir, "eof")
            os.makedirs(out, exist_ok=True)
            server.call("convert_file", {"source_path": self.video, "target_format": "mov", "output_dir": out},
                        id=1, meta={"progressToken": 1})
            self.assertEqual(server.next(timeout=60)["method"], "notifications/progress")
            started = time.monotonic()
            self.assertEqual(server.close(), 0)
            self.assertLess(time.monotonic() - started, 10)
            self.assertEqual(os.listdir(out), [])
        finally:
            server.kill()


def main():
    global BINARY
    BINARY = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)


if __name__ == "__main__":
    main()
