# Sourced by the benchmark scripts: wait_until_serving URL waits up to 10 s for the server at URL
# (http://127.0.0.1:PORT) to answer its health route.
wait_until_serving() {
  for _ in $(seq 1 100); do
    curl -fs "$1/gis/health/" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
}
