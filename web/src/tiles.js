// Tile requests go through this module so that the page stays a good client of the tile
// service: it keeps under the per-client limit of the service (40 requests a second) instead of
// collecting 429 answers when a view needs many tiles at once, waits and retries if it is
// throttled anyway (another tab, say), and reads 204 (nothing at this zoom or in this tile) as an
// empty tile rather than an error.
export const TILE_PROTOCOL = 'kavara-tiles';

// The server counts a request when it reaches it, in fixed one-second windows; a busy server may
// read one second's requests late and bunched into its next window, so the page keeps a margin:
// this many started in any second, plus the few in flight, stays under 40.
const REQUESTS_PER_SECOND = 30;
const WINDOW_MS = 1000;
const RETRIES = 4;
// The browser itself opens at most six connections to a server and queues the rest, so a fetch
// started here may leave much later, in the server's next window. Keeping no more than that in
// flight makes the start of a fetch the moment it is sent, which is what the server counts.
const IN_FLIGHT = 6;

const started = []; // start times of the requests of the last second
const waiting = []; // {resolve(counted), signal}
let inFlight = 0;

export const tileStats = { requested: 0, empty: 0, throttled: 0, failed: 0 };

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function pump() {
  const now = performance.now();
  while (started.length && now - started[0] >= WINDOW_MS) started.shift();
  while (waiting.length && started.length < REQUESTS_PER_SECOND && inFlight < IN_FLIGHT) {
    const next = waiting.shift();
    if (next.signal.aborted) {
      next.resolve(false); // given up while waiting: it takes no turn
      continue;
    }
    started.push(now);
    inFlight++;
    next.resolve(true);
  }
  // A full window reopens when its oldest request ages out; a full set of connections when a
  // request finishes (see `release`).
  if (waiting.length && started.length >= REQUESTS_PER_SECOND)
    setTimeout(pump, Math.max(1, WINDOW_MS - (now - started[0])));
}

function release() {
  inFlight--;
  pump();
}

function turn(signal) {
  return new Promise((resolve) => {
    waiting.push({ resolve, signal });
    pump();
  });
}

// One request in a turn of its own; the turn ends when its answer has been read.
async function fetchOnce(url, signal, cache) {
  if (!(await turn(signal))) signal.throwIfAborted();
  try {
    tileStats.requested++;
    const response = await fetch(url, { signal, cache });
    const data = response.ok ? await response.arrayBuffer() : null;
    return { status: response.status, statusText: response.statusText, data };
  } finally {
    release();
  }
}

// Edits the server told of (see changes.js), newest last. A tile that touches one is fetched
// past the browser's copy once, since Cache-Control lets the browser keep the old bytes for as
// long as the server's cache would have.
const KEPT_CHANGES = 500;
const KEPT_FOR_MS = 2 * 3600 * 1000;
const changes = []; // {layer, extent: [w, s, e, n] in degrees, at, revalidated: Set of paths}

export function noteChange(layer, extent) {
  const now = performance.now();
  while (changes.length && (changes.length >= KEPT_CHANGES || now - changes[0].at > KEPT_FOR_MS))
    changes.shift();
  changes.push({ layer, extent, at: now, revalidated: new Set() });
}

// The degrees a tile covers, a little wider for the clipping buffer around it.
export function tileExtent(z, x, y) {
  const n = 2 ** z;
  const lon = (col) => (col / n) * 360 - 180;
  const lat = (row) => (Math.atan(Math.sinh(Math.PI * (1 - (2 * row) / n))) * 180) / Math.PI;
  const margin = (360 / n) * 0.02;
  return [lon(x) - margin, lat(y + 1) - margin, lon(x + 1) + margin, lat(y) + margin];
}

export function overlaps(a, b) {
  return a[0] <= b[2] && b[0] <= a[2] && a[1] <= b[3] && b[1] <= a[3];
}

const TILE_PATH = /\/gis\/([^/]+)\/(\d+)\/(\d+)\/(\d+)\.pbf$/;

// The changes whose tiles this path has not been fetched afresh for yet.
function changesToRevalidate(path) {
  const match = TILE_PATH.exec(path);
  if (!match || !changes.length) return [];
  const [, layer, z, x, y] = match;
  const extent = tileExtent(Number(z), Number(x), Number(y));
  return changes.filter(
    (change) => change.layer === layer && !change.revalidated.has(path) && overlaps(change.extent, extent),
  );
}

async function fetchTile(url, signal) {
  const stale = changesToRevalidate(url.pathname);
  for (let attempt = 0; ; attempt++) {
    const response = await fetchOnce(url, signal, stale.length ? 'no-cache' : 'default');
    if (response.status === 204 || response.data)
      for (const change of stale) change.revalidated.add(url.pathname);
    if (response.status === 204) {
      tileStats.empty++;
      return new ArrayBuffer(0);
    }
    if (response.data) return response.data;
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
