"""The tool server driven with raw lines: framing, dispatch, errors, tool texts, shutdown."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mcp_client import Server, text_of, write_png, write_text  # noqa: E402

BINARY = None
VERSION = None


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-mcp-")
        self.server = Server(BINARY)

    def tearDown(self):
        self.server.kill()
        shutil.rmtree(self.dir, ignore_errors=True)
        self.assertEqual(self.server.bad_lines, [], "stdout must carry complete JSON lines only")

    def path(self, name):
        return os.path.join(self.dir, name)

    def diagnostics(self):
        return self.server.stderr.decode("utf-8", "replace")


class Framing(ServerTest):
    def test_unparseable_frame_gets_only_a_diagnostic(self):
        self.server.write(b"{not json!!}\n")
        self.assertEqual(self.server.reply(self.server.request("ping")),
                         {"jsonrpc": "2.0", "id": 1001, "result": {}})
        self.assertEqual(self.server.close(), 0)
        self.assertIn("[kelvane-mcp] unparseable frame (12 bytes)\n", self.diagnostics())

    def test_non_requests_are_unparseable(self):
        for line in [b"[1,2]", b'{"id":1}', b'{"id":1,"method":5}', b'"ping"', b'{"method":"ping"', b"\xff\xfe"]:
            self.server.write(line + b"\n")
        self.assertEqual(self.server.silence(0.3), [])
        self.assertEqual(self.server.close(), 0)
        self.assertEqual(self.diagnostics().count("unparseable frame"), 6)

    def test_carriage_returns_empty_lines_and_split_writes(self):
        self.server.write(b'\n\n{"jsonrpc":"2.0","id":"a","method":')
        time.sleep(0.1)
        self.server.write(b'"ping"}\r\n{"jsonrpc":"2.0","id":"b","method":"ping"}\n')
        self.assertEqual(self.server.next()["id"], "a")
        self.assertEqual(self.server.next()["id"], "b")

    def test_oversized_and_deeply_nested_lines_are_dropped(self):
        deep = '{"jsonrpc":"2.0","id":1,"method":"ping","params":{"x":' + "[" * 300 + "]" * 300 + "}}"
        self.server.write(deep + "\n")
        huge = b'{"jsonrpc":"2.0","id":2,"method":"ping","params":{"x":"' + b"a" * (17 << 20) + b'"}}'
        self.server.write(huge + b"\n")
        self.assertEqual(self.server.reply(self.server.request("ping", id=3))["id"], 3)
        self.assertEqual(self.server.close(), 0)
        self.assertIn("[kelvane-mcp] unparseable frame (%d bytes)\n" % len(deep), self.diagnostics())
        self.assertIn("[kelvane-mcp] unparseable frame (%d bytes)\n" % len(huge), self.diagnostics())

    def test_libraries_cannot_write_to_the_reply_stream(self):
        self.server.reply(self.server.request("ping"))
        fds = "/proc/%d/fd/" % self.server.process.pid
        # Descriptor 1 leads where stderr does; replies go through a private copy of the old one.
        self.assertEqual(os.readlink(fds + "1"), os.readlink(fds + "2"))
        stdout_pipe = os.readlink("/proc/self/fd/%d" % self.server.process.stdout.fileno())
        holders = [fd for fd in os.listdir(fds) if os.readlink(fds + fd) == stdout_pipe]
        self.assertEqual(len(holders), 1)
        self.assertGreater(int(holders[0]), 2)
        tasks = "/proc/%d/task/" % self.server.process.pid
        names = [open(tasks + t + "/comm").read().strip() for t in os.listdir(tasks)]
        self.assertEqual(names.count("mcp.stdin"), 1, names)

    def test_end_of_input_exits_zero_and_drops_an_incomplete_line(self):
        self.server.write(b'{"jsonrpc":"2.0","id":9,"method":"ping"}')
        self.assertEqual(self.server.close(), 0)
        self.assertEqual(self.server.silence(0), [])
        self.assertTrue(self.diagnostics().startswith("[kelvane-mcp] Kelvane MCP server starting\n"))
        self.assertTrue(self.diagnostics().endswith("[kelvane-mcp] stdin closed; exiting\n"))


class Dispatch(ServerTest):
    def test_initialize_echoes_a_string_version_and_names_the_server(self):
        reply = self.server.reply(self.server.request("initialize", id=1))
        self.assertEqual(reply, {"jsonrpc": "2.0", "id": 1, "result": {
            "protocolVersion": "2025-06-18", "capabilities": {"tools": {}},
            "serverInfo": {"name": "kelvane", "title": "Kelvane File Converter", "version": VERSION}}})
        reply = self.server.reply(self.server.request("initialize", {"protocolVersion": "1999-01-01"}, id=2))
        self.assertEqual(reply["result"]["protocolVersion"], "1999-01-01")
        reply = self.server.reply(self.server.request("initialize", {"protocolVersion": 5}, id=3))
        self.assertEqual(reply["result"]["protocolVersion"], "2025-06-18")

    def test_notifications_never_get_replies(self):
        for method in ["notifications/initialized", "notifications/cancelled", "ping", "tools/list", "nope"]:
            self.server.send({"jsonrpc": "2.0", "method": method, "params": {"requestId": 5}})
        self.server.send({"jsonrpc": "2.0", "method": "tools/call", "params": {}})
        self.server.send({"jsonrpc": "2.0", "id": 4, "method": "notifications/cancelled", "params": {}})
        self.assertEqual(self.server.reply(self.server.request("ping", id="last"))["id"], "last")
        self.assertEqual(self.server.silence(0.2), [])

    def test_protocol_errors(self):
        self.assertEqual(self.server.reply(self.server.request("resources/list", id=7)),
                         {"jsonrpc": "2.0", "id": 7,
                          "error": {"code": -32601, "message": "method not found: resources/list"}})
        for params in [{}, None, [], {"name": 5}, {"arguments": {}}]:
            reply = self.server.reply(self.server.request("tools/call", params))
            self.assertEqual(reply["error"], {"code": -32602, "message": "tools/call requires a 'name'"})
        # Odd ids come back as they were sent.
        for id in [None, 0, "x", {"k": [1]}, 1.5]:
            self.server.send({"jsonrpc": "2.0", "id": id, "method": "ping"})
            self.assertEqual(self.server.next()["id"], id)

    def test_tools_are_listed_in_order_with_their_schemas(self):
        tools = self.server.reply(self.server.request("tools/list"))["result"]["tools"]
        self.assertEqual([t["name"] for t in tools],
                         ["list_supported_conversions", "convert_file", "estimate_compression", "compress_file"])
        for tool in tools:
            self.assertEqual(list(tool), ["name", "title", "description", "inputSchema", "annotations"])
            for prop in tool["inputSchema"]["properties"].values():
                self.assertEqual(prop["type"], "string")
        self.assertNotIn("required", tools[0]["inputSchema"])
        self.assertEqual(tools[1]["inputSchema"]["required"], ["source_path", "target_format"])
        self.assertEqual(tools[3]["inputSchema"]["properties"]["level"]["enum"],
                         ["maximum", "high", "balanced", "small", "tiny"])
        self.assertEqual(tools[2]["annotations"], {"readOnlyHint": True})
        self.assertEqual(tools[3]["annotations"],
                         {"readOnlyHint": False, "destructiveHint": False, "idempotentHint": False})


class Tools(ServerTest):
    def test_jpeg_target_is_lower_cased_and_png_converts(self):
        write_png(self.path("photo.png"), 64, 48)
        reply = self.server.reply(self.server.call(
            "convert_file", {"source_path": self.path("photo.png"), "target_format": "JPEG"}))
        result = reply["result"]
        self.assertNotIn("isError", result, text_of(reply))
        out = result["structuredContent"]["output_path"]
        self.assertEqual(out, self.path("photo.jpg"))
        with open(out, "rb") as f:
            self.assertEqual(f.read(3), b"\xff\xd8\xff")
        self.assertEqual(result["structuredContent"]["output_bytes"], os.path.getsize(out))
        self.assertTrue(text_of(reply).startswith("Converted photo.png \u2192 " + out + " ("))
        # The conversion log is echoed to stderr, never mixed into the replies.
        self.assertEqual(self.server.close(), 0)
        self.assertIn("[INFO] [Engine] Starting: PNG \u2192 JPEG \u2014 photo.png\n", self.diagnostics())

    def test_level_is_case_sensitive_and_extension_lookup_is_trimmed(self):
        reply = self.server.reply(self.server.call("compress_file", {"source_path": "/x.png", "level": "High"}))
        self.assertEqual(text_of(reply), "Unknown level 'High'. Valid: maximum, high, balanced, small, tiny.")
        self.assertIs(reply["result"]["isError"], True)
        reply = self.server.reply(self.server.call("list_supported_conversions", {"file_extension": ".HEIC "}))
        self.assertTrue(text_of(reply).startswith(".heic (HEIC, Image)\nconvert_file targets: "))

    def test_txt_to_png_is_refused_with_the_valid_targets(self):
        write_text(self.path("notes.txt"), "hello\n")
        reply = self.server.reply(self.server.call(
            "convert_file", {"source_path": self.path("notes.txt"), "target_format": "png"}))
        self.assertEqual(reply["result"], {
            "content": [{"type": "text",
                         "text": "TXT can't convert to png. Valid targets: html, rtf, pdf, markdown, docx, epub"}],
            "isError": True})

    def test_two_concurrent_converts_get_separate_complete_lines(self):
        write_text(self.path("a.csv"), "x,y\n" + "1,2\n" * 20000)
        write_text(self.path("b.csv"), "x,y\n" + "3,4\n" * 20000)
        lines = "".join(json.dumps({"jsonrpc": "2.0", "id": id, "method": "tools/call", "params": {
            "name": "convert_file", "arguments": {"source_path": self.path(name), "target_format": "json"}}}) + "\n"
            for id, name in [("a", "a.csv"), ("b", "b.csv")])
        self.server.write(lines)
        replies = {m["id"]: m for m in (self.server.next(), self.server.next())}
        self.assertEqual(set(replies), {"a", "b"})
        for id in "ab":
            self.assertEqual(replies[id]["result"]["structuredContent"]["output_path"], self.path(id + ".json"))
        self.assertEqual(self.server.silence(0.2), [])

    def test_tilde_paths_and_file_names_that_are_not_utf8(self):
        # A home folder whose name is Latin-1: "~" paths lead to file names that are not UTF-8.
        home = os.fsencode(self.dir) + b"/caf\xe9"
        os.mkdir(home)
        with open(home + b"/t.csv", "wb") as f:
            f.write(b"a\n1\n")
        self.server.kill()
        env = {k.encode(): v.encode() for k, v in os.environ.items()}
        env[b"HOME"] = home
        self.server = Server(BINARY, env=env)
        reply = self.server.reply(self.server.call(
            "convert_file", {"source_path": "~/t.csv", "target_format": "tsv", "output_dir": "~/out"}))
        self.assertEqual(reply["result"]["structuredContent"]["output_path"],
                         self.dir + "/caf\ufffd/out/t.tsv")
        self.assertTrue(os.path.exists(home + b"/out/t.tsv"))
        reply = self.server.reply(self.server.call("convert_file", {"source_path": "~", "target_format": "tsv"}))
        self.assertEqual(text_of(reply), "caf\ufffd is not a format Kelvane can read.")

    def test_a_fifo_source_fails_instead_of_hanging(self):
        os.mkfifo(self.path("pipe.png"))
        for tool in ["convert_file", "estimate_compression", "compress_file"]:
            reply = self.server.reply(self.server.call(
                tool, {"source_path": self.path("pipe.png"), "target_format": "jpeg"}), timeout=20)
            self.assertTrue(reply["result"]["isError"])
            self.assertIn("Not a regular file: " + self.path("pipe.png"), text_of(reply))


def main():
    global BINARY, VERSION
    BINARY, VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)


if __name__ == "__main__":
    main()
