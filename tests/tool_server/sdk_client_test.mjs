// A session of the official MCP TypeScript SDK client with `kelvane --mcp` over stdio.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import zlib from "node:zlib";

const [binary, prefix] = process.argv.slice(2);
const require = createRequire(path.join(path.resolve(prefix), "package.json"));
const { Client } = require("@modelcontextprotocol/sdk/client/index.js");
const { StdioClientTransport } = require("@modelcontextprotocol/sdk/client/stdio.js");

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}
function chunk(type, data) {
  const head = Buffer.alloc(4);
  head.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, "latin1"), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([head, body, crc]);
}
// A smooth RGB picture with a little noise: lossless PNG is large, any lossy level is smaller.
function writePng(file, width, height) {
  const rows = [];
  let seed = 7;
  for (let y = 0; y < height; y++) {
    const row = Buffer.alloc(1 + width * 3);
    for (let x = 0; x < width; x++) {
      seed = (seed * 1103515245 + 12345) & 0x7fffffff;
      const noise = seed % 9;
      row[1 + x * 3] = (x * 255) / width + noise;
      row[2 + x * 3] = (y * 255) / height + noise;
      row[3 + x * 3] = ((x + y) * 127) / (width + height) + noise;
    }
    rows.push(row);
  }
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr.set([8, 2, 0, 0, 0], 8);
  fs.writeFileSync(file, Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk("IHDR", ihdr), chunk("IDAT", zlib.deflateSync(Buffer.concat(rows))), chunk("IEND", Buffer.alloc(0)),
  ]));
}

let passed = 0;
let skipped = 0;
async function check(name, body) {
  await body();
  passed++;
  console.log(`ok - ${name}`);
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), "kv-mcp-sdk-"));
const transport = new StdioClientTransport({ command: binary, args: ["--mcp"], stderr: "pipe" });
let diagnostics = "";
transport.stderr?.on("data", (data) => { diagnostics += data; });
const client = new Client({ name: "kelvane-sdk-test", version: "1.0.0" });

try {
  await check("initialize names the server", async () => {
    await client.connect(transport);
    const info = client.getServerVersion();
    assert.equal(info.name, "kelvane");
    assert.equal(info.title, "Kelvane File Converter");
    assert.match(info.version, /^\d+\.\d+/);
    assert.deepEqual(client.getServerCapabilities(), { tools: {} });
    await client.ping();
  });

  await check("tools/list gives the four tools", async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name),
      ["list_supported_conversions", "convert_file", "estimate_compression", "compress_file"]);
    assert.deepEqual(tools[1].inputSchema.required, ["source_path", "target_format"]);
    assert.equal(tools[1].annotations.destructiveHint, false);
    assert.equal(tools[2].annotations.readOnlyHint, true);
  });

  await check("CSV converts to JSON", async () => {
    const csv = path.join(dir, "fruit.csv");
    fs.writeFileSync(csv, "name,qty\npear,3\nfig,12\n");
    const result = await client.callTool({ name: "convert_file", arguments: { source_path: csv, target_format: "json" } });
    assert.equal(result.isError, undefined, result.content[0].text);
    const out = result.structuredContent.output_path;
    assert.equal(out, path.join(dir, "fruit.json"));
    assert.equal(result.structuredContent.output_bytes, fs.statSync(out).size);
    const rows = JSON.parse(fs.readFileSync(out, "utf8"));
    assert.equal(rows.length, 2);
    assert.deepEqual(Object.keys(rows[0]), ["name", "qty"]);
    assert.equal(rows[1].name, "fig");
    assert.ok(result.content[0].text.startsWith(`Converted fruit.csv \u2192 ${out} (`));
  });

  const png = path.join(dir, "picture.png");
  writePng(png, 320, 240);

  await check("PNG converts to JPEG", async () => {
    const outDir = path.join(dir, "jpeg out");
    const result = await client.callTool({
      name: "convert_file", arguments: { source_path: png, target_format: "jpeg", output_dir: outDir } });
    assert.equal(result.isError, undefined, result.content[0].text);
    const out = result.structuredContent.output_path;
    assert.equal(out, path.join(outDir, "picture.jpg"));
    const bytes = fs.readFileSync(out);
    assert.deepEqual([...bytes.subarray(0, 3)], [0xff, 0xd8, 0xff]);
    assert.equal(result.structuredContent.output_bytes, bytes.length);
  });

  await check("tool failures are results, not protocol errors", async () => {
    const result = await client.callTool({ name: "convert_file", arguments: { source_path: png, target_format: "mp3" } });
    assert.equal(result.isError, true);
    assert.match(result.content[0].text, /^PNG can't convert to mp3\. Valid targets: /);
  });

  const estimate = await client.callTool({ name: "estimate_compression", arguments: { source_path: png } });
  const compress = await client.callTool({ name: "compress_file", arguments: { source_path: png, level: "small" } });
  await check("estimate_compression measures every level", async () => {
    assert.equal(estimate.isError, undefined, estimate.content[0].text);
    const levels = estimate.structuredContent.levels;
    assert.ok(levels.length > 0);
    const order = ["maximum", "high", "balanced", "small", "tiny"];
    assert.deepEqual(levels.map((l) => l.level), order.filter((l) => levels.some((x) => x.level === l)));
    const original = fs.statSync(png).size;
    for (const level of levels) {
      assert.equal(level.estimated, false);
      assert.ok(level.bytes < original * 0.98);
      assert.equal(level.saved_percent, Math.min(99, Math.max(0, Math.round((original - level.bytes) / original * 100))));
    }
    assert.ok(estimate.content[0].text.startsWith("Compression options for picture.png:\n  "));
  });
  await check("compress_file writes a smaller copy beside the original", async () => {
    assert.equal(compress.isError, undefined, compress.content[0].text);
    const { output_path: out, output_bytes: bytes, saved_percent: saved } = compress.structuredContent;
    assert.match(path.basename(out), /^picture \(compressed\)\.(heic|jpg)$/);
    assert.equal(path.dirname(out), dir);
    const original = fs.statSync(png).size;
    assert.equal(bytes, fs.statSync(out).size);
    assert.ok(bytes < original);
    assert.equal(saved, Math.trunc((original - bytes) / original * 100));
  });

  const video = path.join(dir, "long.mp4");
  const made = spawnSync("ffmpeg", ["-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
    "testsrc=duration=60:size=640x360:rate=30", "-c:v", "libx264", "-preset", "ultrafast", video]);
  if (made.status !== 0) {
    skipped++;
    console.log("skip - progress and cancellation: ffmpeg could not make a video");
  } else {
    await check("progress reaches the client and aborting stops the call", async () => {
      const outDir = path.join(dir, "video out");
      fs.mkdirSync(outDir);
      const controller = new AbortController();
      const seen = [];
      const call = client.callTool(
        { name: "convert_file", arguments: { source_path: video, target_format: "mov", output_dir: outDir } },
        undefined,
        { signal: controller.signal, onprogress: (p) => { seen.push(p); if (seen.length === 2) controller.abort(); } });
      await assert.rejects(call);
      assert.equal(seen.length, 2);
      assert.ok(seen[0].progress < seen[1].progress && seen[1].total === 1);
      await client.ping();
      await new Promise((resolve) => setTimeout(resolve, 1000));
      assert.deepEqual(fs.readdirSync(outDir), []);
    });
  }

  await check("closing the client ends the server", async () => {
    await client.close();
    assert.match(diagnostics, /\[kelvane-mcp\] Kelvane MCP server starting\n/);
  });
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
console.log(`${passed} passed, 0 failed, ${skipped} skipped`);
