#!/usr/bin/env bash
# Installs the official MCP TypeScript SDK (test-only) and runs a client session against kelvane.
# Usage: run_sdk_client_test.sh <kelvane binary> <folder for the npm packages>
# Exits 77 (skipped) when node or the package cannot be had.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
binary="$(realpath "$1")"
prefix="$2"
sdk_version="1.32.2"

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "SKIP: node and npm are needed for the SDK client test"
    exit 77
fi
if [ ! -f "$prefix/node_modules/@modelcontextprotocol/sdk/package.json" ]; then
    mkdir -p "$prefix"
    if ! npm install --prefix "$prefix" --no-audit --no-fund --loglevel=error \
        "@modelcontextprotocol/sdk@$sdk_version" >"$prefix/npm.log" 2>&1; then
        echo "SKIP: npm could not install @modelcontextprotocol/sdk@$sdk_version:"
        tail -5 "$prefix/npm.log"
        exit 77
    fi
fi
exec node "$here/sdk_client_test.mjs" "$binary" "$prefix"
