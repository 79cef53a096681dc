#!/usr/bin/env bash
# Peak memory of whole `quillet` processes fed hostile replies by a loopback
# server: 60 MB of "[" as a model list and as one event line, and a streamed
# reply of 200 MB of text to `ai test` and `enhance`. Needs
# `scripts/build.sh release` (or QUILLET=path/to/quillet).
set -euo pipefail
cd "$(dirname "$0")/.."
quillet="${QUILLET:-$PWD/build-release/quillet}"
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT

python3 - "$work/port" <<'PY' &
import http.server, socketserver, sys
MB = 1 << 20
class Hostile(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args): pass
    def send(self, kind, blocks):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            for block in blocks: self.wfile.write(block)
        except (BrokenPipeError, ConnectionResetError):
            pass
    def do_GET(self):  # the model list
        self.send("application/json", (b"[" * MB for _ in range(60)))
    def do_POST(self):  # a streamed reply, or one deep event line
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path.startswith("/deep"):
            self.send("text/event-stream", [b"data: "] + [b"[" * MB for _ in range(60)] + [b"\n"])
            return
        piece = b'data: {"choices":[{"delta":{"content":"' + b"x" * (MB - 64) + b'"}}]}\n'
        self.send("text/event-stream", (piece for _ in range(200)))
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer): daemon_threads = True
httpd = Server(("127.0.0.1", 0), Hostile)
open(sys.argv[1], "w").write(str(httpd.server_address[1]))
httpd.serve_forever()
PY
server=$!
while [ ! -s "$work/port" ]; do sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")"

peak() {
  local label=$1 status=0
  shift
  /usr/bin/time -v "$quillet" "$@" >/dev/null 2>"$work/err" || status=$?
  local kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/err")
  local said=$(grep -m1 '^erro:' "$work/err" || true)
  printf '%-34s peak %6.1f MB, status %s, %s\n' "$label" "$(echo "$kb / 1024" | bc -l)" "$status" "${said:-no error}"
}

export XDG_CONFIG_HOME="$work/config" HOME="$work" no_proxy=127.0.0.1
meeting="$PWD/examples/store/2025-03-18 1130 Weekly sync"
peak "ai models, 60 MB of [" ai models --provider ollama --base-url "$url"
peak "ai test, event line of 60 MB of [" ai test --provider ollama --base-url "$url/deep"
peak "ai test, 200 MB reply" ai test --provider ollama --base-url "$url"
peak "enhance, 200 MB reply" enhance "$meeting" --provider ollama --base-url "$url"
