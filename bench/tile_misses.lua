-- wrk script (one thread): visits the tiles of a block in a scattered order, so that no tile is
-- asked for twice and the first requests already spread over the whole block, each request from
-- its own client address (X-Forwarded-For, believed because the peer is loopback). After the
-- last tile of the block the walk goes on row by row below it, so every request stays a miss.
--   wrk -t1 -c4 -d4s -s bench/tile_misses.lua URL LAYER Z X0 Y0 SIZE
local layer, z, x0, y0, size
local sent = 0
-- Globals, so that done() can read them from the thread.
statuses, hits = {}, 0

function init(args)
  layer, z = args[1], tonumber(args[2])
  x0, y0, size = tonumber(args[3]), tonumber(args[4]), tonumber(args[5])
end

-- An odd step is coprime to a power-of-two tile count, so i * step visits every tile once.
local step = 2477

function request()
  local i = sent
  sent = sent + 1
  if i < size * size then i = (i * step) % (size * size) end
  local path = string.format("/gis/%s/%d/%d/%d.pbf", layer, z, x0 + i % size,
                             y0 + math.floor(i / size))
  local client = string.format("10.%d.%d.%d", math.floor(sent / 65536) % 256,
                               math.floor(sent / 256) % 256, sent % 256)
  return wrk.format("GET", path, { ["X-Forwarded-For"] = client })
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  if headers["X-Cache"] == "HIT" then hits = hits + 1 end
end

local threads = {}
function setup(thread) table.insert(threads, thread) end

function done(summary, latency, requests)
  for _, thread in ipairs(threads) do
    local counts = {}
    for status, count in pairs(thread:get("statuses")) do
      table.insert(counts, string.format("%d x%d", status, count))
    end
    table.sort(counts)
    io.write(string.format("answers: %s; cache hits %d\n", table.concat(counts, ", "),
                           thread:get("hits")))
  end
end
