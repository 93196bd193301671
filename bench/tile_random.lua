-- wrk script: random requests over a list of paths read from a file (one path a line, given as
-- the first argument), each from one of 10,000 client addresses sent as X-Forwarded-For (the
-- server believes it from the loopback proxy; a static file server ignores it).
-- WRK_DELAY_MS paces each connection (a pause before each of its requests), so that a load of
-- a chosen rate runs beside another measurement.
local paths = {}
local clients = 10000
local pause = tonumber(os.getenv("WRK_DELAY_MS") or "")
if pause then
  function delay() return pause end
end

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
  math.randomseed(os.time() + math.floor(os.clock() * 1e6))
end

function request()
  local path = paths[math.random(#paths)]
  local n = math.random(clients)
  local client = string.format("10.77.%d.%d", math.floor(n / 250) % 250, n % 250 + 1)
  return wrk.format("GET", path, { ["X-Forwarded-For"] = client })
end

-- One line that the benchmark script parses: requests per second, p99 latency in ms, errors.
function done(summary, latency, requests)
  local errors = summary.errors.status + summary.errors.connect + summary.errors.read +
                 summary.errors.write + summary.errors.timeout
  io.write(string.format("RESULT rps=%.0f p99_ms=%.2f errors=%d\n",
                         summary.requests / (summary.duration / 1e6),
                         latency:percentile(99) / 1000, errors))
end
