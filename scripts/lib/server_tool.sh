# Shell helpers for running our server tools in the background on loopback;
# sourced by scripts/demo.sh and bench/bench_download_install.sh.

# wait_listening_port FILE: prints PORT of the first "listening 127.0.0.1:PORT"
# line that a server tool wrote to FILE; fails when none came within 10 s.
wait_listening_port() {
  local port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1" | head -n 1)
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.1
  done
  return 1
}

# start_resource_server EXE ROOT OUT: runs qlyn-resource-server EXE in the
# background serving ROOT on 127.0.0.1 at a port it picks, its output in OUT;
# sets server_pid and port. Fails when it did not start listening.
start_resource_server() {
  "$1" --root "$2" --port 0 --bind 127.0.0.1 --quiet >"$3" &
  server_pid=$!
  port=$(wait_listening_port "$3") || return 1
}

# stop_server: stops and reaps the server of server_pid, when there is one.
stop_server() {
  if [ -n "${server_pid:-}" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=
}
