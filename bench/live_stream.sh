#!/usr/bin/env bash
# Live output under load: CLIENTS concurrent Server-Sent-Event clients of a
# streaming alias whose command prints 100 numbered lines a second for
# SECONDS seconds (a perl loop: no process per line). Checks that every
# client got every line in order and the exit event, and reports the
# service's resident memory (sampled while the streams run, and its peak).
#
#   bench/live_stream.sh VELQUIN_BINARY [CLIENTS] [SECONDS]
#
# Starts its own velquin on a free loopback port with a throw-away
# configuration; needs perl and python3. Do not run it during a build.
set -euo pipefail

binary=${1:?usage: $0 VELQUIN_BINARY [CLIENTS] [SECONDS]}
clients=${2:-200}
seconds=${3:-20}
lines=$((seconds * 100))

command -v perl >/dev/null || { echo "perl is not installed" >&2; exit 1; }

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

bench_key
write_config "$work"
write_users "$work/auth.d" ticker
cat >"$work/alias.d/ticker.yaml" <<EOF
ticker:
  type: process
  stream: true
  timeout: $((seconds * 3 + 30))
  command: >-
    exec perl -MTime::HiRes=time,sleep -e '\$|=1; my \$t0 = time;
    for my \$i (1..$lines) { print "\$i\n"; my \$d = \$t0 + \$i/100 - time; sleep(\$d) if \$d > 0 }'
EOF
start_velquin "$work/velquin.conf" "$binary"
pid=$velquin_pid
port=$velquin_port

# Largest VmRSS seen while the clients run.
( max=0; while kill -0 "$pid" 2>/dev/null; do
    rss=$(rss_of "$pid" 2>/dev/null || echo 0)
    (( rss > max )) && max=$rss && echo "$max" >"$work/rss_max"
    sleep 0.2
  done ) &
bench_track $!

result=0
python3 - "$port" "$key" "$clients" "$lines" <<'PY' || result=$?
import asyncio, sys, time
port, key, clients, lines = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])

async def client(n):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write((f"POST /v1/ticker HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer {key}\r\n"
                  "Accept: text/event-stream\r\nContent-Length: 0\r\nConnection: close\r\n\r\n").encode())
    await writer.drain()
    status = (await reader.readline()).decode().strip()
    while (await reader.readline()) not in (b"\r\n", b""):
        pass
    expect, event, exit_data, buf = 1, None, None, b""
    while True:
        size_line = await reader.readline()
        if not size_line:
            break
        size = int(size_line.strip(), 16)
        if size == 0:
            break
        buf += await reader.readexactly(size)
        await reader.readexactly(2)
        *done, buf = buf.split(b"\n")
        for line in done:
            if line.startswith(b"event: "):
                event = line[7:].decode()
            elif line.startswith(b"data: "):
                data = line[6:].decode()
                if event == "stdout":
                    if int(data) != expect:
                        return (n, status, f"line {data} where {expect} was due")
                    expect += 1
                elif event == "exit":
                    exit_data = data
    writer.close()
    if expect != lines + 1 or exit_data is None:
        return (n, status, f"{expect - 1} of {lines} lines, exit event {exit_data!r}")
    return (n, status, None)

async def main():
    start = time.monotonic()
    results = await asyncio.gather(*(client(i) for i in range(clients)))
    wall = time.monotonic() - start
    bad = [r for r in results if r[2] is not None or "200" not in r[1]]
    print(f"clients: {clients}, lines per client: {lines}, wall: {wall:.1f} s "
          f"(a perfect run takes {lines / 100:.1f} s)")
    print(f"complete streams: {clients - len(bad)} of {clients}")
    for n, status, why in bad[:5]:
        print(f"  client {n}: {status}: {why}")
    sys.exit(1 if bad else 0)

asyncio.run(main())
PY
peak=$(peak_rss_of "$pid")
echo "service RSS: max sampled $(( $(cat "$work/rss_max" 2>/dev/null || echo 0) / 1024 )) MiB, peak (VmHWM) $((peak / 1024)) MiB (target: under 64 MiB)"
exit $result
