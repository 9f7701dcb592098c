// The tool server: JSON-RPC 2.0 requests, one per line, on standard input; replies on standard
// output; diagnostics on standard error.
#pragma once

namespace kv::ToolServer {

/// Serves until standard input closes, then returns 0. While it runs, file descriptor 1 points at
/// standard error, so that nothing but replies reaches the client's end of standard output.
int run();

/// Serves requests read from `input`, writing replies to `output`, until `input` ends.
int serve(int input, int output);

} // namespace kv::ToolServer
