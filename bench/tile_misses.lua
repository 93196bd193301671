-- wrk script (one thread): visits the tiles of a block in a scattered order, so that no tile is
-- asked for twice and the first requests already spread over the whole block, each request from
-- its own client address (X-Forwarded-For, believed because the peer is loopback). After the
-- last tile of the block the walk goes on row by row below it, so every request stays a miss.
-- No response() hook: wrk would copy every body into Lua, on the cores the server needs.
--   wrk -t1 -c4 -d4s -s bench/tile_misses.lua URL LAYER Z X0 Y0 SIZE
local layer, z, x0, y0, size
local sent = 0

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
