-- wrk script: site plans of stored plots in turn, over a list of paths read from a file (one
-- path a line, given as the first argument), every request from a client address of its own
-- (X-Forwarded-For, believed from the loopback proxy), so the per-client plan limit never answers
-- 429 while its count is still made for every plan.
local paths = {}
local counter = 0

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
  -- Threads start at different plots and different addresses.
  counter = math.random(#paths)
end

function request()
  counter = counter + 1
  local path = paths[(counter % #paths) + 1]
  local client = string.format("10.%d.%d.%d", math.floor(counter / 65536) % 256,
                               math.floor(counter / 256) % 256, counter % 256)
  return wrk.format("GET", path, { ["X-Forwarded-For"] = client })
end

-- One line that the benchmark script parses: plans per second, median and p99 latency in ms,
-- errors (any answer other than 2xx or 3xx counts).
function done(summary, latency, requests)
  local errors = summary.errors.status + summary.errors.connect + summary.errors.read +
                 summary.errors.write + summary.errors.timeout
  io.write(string.format("RESULT rps=%.2f p50_ms=%.1f p99_ms=%.1f errors=%d\n",
                         summary.requests / (summary.duration / 1e6),
                         latency:percentile(50) / 1000, latency:percentile(99) / 1000, errors))
end
