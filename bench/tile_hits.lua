-- wrk script: every request from its own client address (X-Forwarded-For, believed because the
-- peer is loopback), cycling over a set of tile paths given as arguments.
local paths = {}
local counter = 0

function init(args)
  for i, p in ipairs(args) do paths[i] = p end
  if #paths == 0 then paths[1] = "/gis/health/" end
end

function request()
  counter = counter + 1
  local path = paths[(counter % #paths) + 1]
  local client = string.format("10.%d.%d.%d", math.floor(counter / 65536) % 256,
                               math.floor(counter / 256) % 256, counter % 256)
  return wrk.format("GET", path, { ["X-Forwarded-For"] = client })
end
