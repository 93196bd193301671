// Tile requests go through this module so that the page stays a good client of the tile
// service: it keeps under the per-client limit of the service (40 requests a second) instead of
// collecting 429 answers when a view needs many tiles at once, waits and retries if it is
// throttled anyway (another tab, say), and reads 204 (nothing at this zoom or in this tile) as an
// empty tile rather than an error.
export const TILE_PROTOCOL = 'kavara-tiles';

const REQUESTS_PER_SECOND = 36;
const WINDOW_MS = 1000;
const RETRIES = 4;

const started = []; // start times of the requests of the last second
const waiting = []; // {resolve, signal}

export const tileStats = { requested: 0, empty: 0, throttled: 0, failed: 0 };

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function pump() {
  const now = performance.now();
  while (started.length && now - started[0] >= WINDOW_MS) started.shift();
  while (waiting.length && started.length < REQUESTS_PER_SECOND) {
    const next = waiting.shift();
    if (next.signal.aborted) continue;
    started.push(now);
    next.resolve();
  }
  if (waiting.length) setTimeout(pump, Math.max(1, WINDOW_MS - (now - started[0])));
}

function turn(signal) {
  return new Promise((resolve) => {
    waiting.push({ resolve, signal });
    pump();
  });
}

async function fetchTile(url, signal) {
  for (let attempt = 0; ; attempt++) {
    await turn(signal);
    signal.throwIfAborted();
    tileStats.requested++;
    const response = await fetch(url, { signal });
    if (response.status === 204) {
      tileStats.empty++;
      return new ArrayBuffer(0);
    }
    if (response.ok) return response.arrayBuffer();
    if (response.status === 429 && attempt < RETRIES) {
      tileStats.throttled++;
      await sleep(WINDOW_MS * (attempt + 1));
      continue;
    }
    tileStats.failed++;
    throw new Error(`Tile ${url}: ${response.status} ${response.statusText}`);
  }
}

// "kavara-tiles:///gis/plots/16/1/2.pbf" fetches "/gis/plots/16/1/2.pbf" of this page's server.
export function tileUrl(path) {
  return `${TILE_PROTOCOL}://${path}`;
}

export function registerTileProtocol(maplibregl) {
  maplibregl.addProtocol(TILE_PROTOCOL, async (params, abortController) => {
    const path = params.url.slice(`${TILE_PROTOCOL}://`.length);
    const data = await fetchTile(new URL(path, window.location.href), abortController.signal);
    return { data };
  });
}
