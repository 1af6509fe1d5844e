#!/usr/bin/env bash
# Checks that an application builds against the installed library alone:
# installs libzalvio into a temporary prefix, builds examples/ out of tree
# twice (with the CMake package and with pkg-config), and runs both against
# a stand-in service on a loopback port. Exits non-zero on any failure.
#
# Usage: tools/check-example.sh [BUILD_DIR]     (default: build; a build
# without sanitizers, whose runtime an ordinary application does not link)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}

say() { echo "check-example: $*"; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target zalvio zalvio-service

tmp=$(mktemp -d /tmp/zalvio-example-XXXXXX)
service_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name zalvio.pc)
libdir=$(dirname "$(find "$prefix" -name 'libzalvio.so' )")
say "installed into $prefix: $(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')"

# The CMake package.
cmake -S examples -B "$tmp/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/with-cmake" >/dev/null
# pkg-config.
export PKG_CONFIG_PATH=$(dirname "$pc")
c++ -std=c++17 -Wall -Wextra -o "$tmp/with-pkg-config" examples/send_message.cpp \
  $(pkg-config --cflags --libs zalvio) -Wl,-rpath,"$libdir" -pthread

for exe in "$tmp/with-cmake/send_message" "$tmp/with-pkg-config"; do
  if ! ldd "$exe" | grep -q "$libdir/libzalvio.so"; then
    say "$exe does not use the installed library:"; ldd "$exe"; exit 1
  fi
done

# A stand-in service on a free loopback port.
"$root/$build/zalvio-service" --listen 127.0.0.1:0 --data "$tmp/service" >"$tmp/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 100); do grep -q '^port ' "$tmp/service.log" && break; sleep 0.1; done
port=$(awk '/^port /{print $2; exit}' "$tmp/service.log")
[ -n "$port" ] || { say "the service did not start"; cat "$tmp/service.log"; exit 1; }
mint() { "$root/$build/zalvio-service" mint-token --data "$tmp/service" --uid "$1"; }

token=$(mint 1001)
mint 1002 >/dev/null
n=0
for exe in "$tmp/with-cmake/send_message" "$tmp/with-pkg-config"; do
  n=$((n + 1))
  HOME=$tmp "$exe" "127.0.0.1:$port" "$tmp/service/ca.pem" "$token" "$tmp/app$n" u1002 \
    "hello from the example" >"$tmp/run$n.out" || {
    say "$exe failed"; cat "$tmp/run$n.out"; exit 1; }
  grep -q "to u1002" "$tmp/run$n.out" || { say "$exe printed no result"; exit 1; }
done
say "ok: both builds of the example sent a message"
