#!/usr/bin/env bash
# Runs the side-by-side Socket.IO benchmark: our client and socket.io-client
# against one npm Socket.IO server on loopback (TLS, permessage-deflate).
#   src/socketio/bench/run.sh [BUILD_DIR] [extra run_bench.js options, e.g. --no-compress]
# BUILD_DIR must have been configured with -DMOPET_BUILD_BENCHMARKS=ON.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
build="${1:-$root/build}"
shift || true
client="$(find "$build" -name socketio_bench_client -type f -perm -u+x | head -n1)"
if [[ -z "$client" ]]; then
  echo "socketio_bench_client not found under $build (configure with -DMOPET_BUILD_BENCHMARKS=ON and build it)" >&2
  exit 1
fi
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' >"$dir/ext.cnf"
{
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -days 1 -subj '/CN=Bench CA' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$dir/server.key" -out "$dir/server.csr" \
    -subj '/CN=localhost'
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -out "$dir/server.pem" -days 1 -extfile "$dir/ext.cnf"
} >"$dir/openssl.log" 2>&1
node "$here/run_bench.js" --key "$dir/server.key" --cert "$dir/server.pem" --ca "$dir/ca.pem" --ours "$client" "$@"
