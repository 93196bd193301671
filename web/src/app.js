// The demo map: the five layers of the tile service over a plain paper background, starting
// where the plots are.
import { followChanges } from './changes.js';
import { registerGlyphProtocol } from './glyphs.js';
import { enableLabels } from './labels.js';
import { LABELLED, MAX_ZOOM, buildStyle } from './layers.js';
import { createPanel } from './panel.js';
import { enablePlotDetails } from './site-plan.js';
import { registerTileProtocol, tileStats, tileUrl } from './tiles.js';

const maplibregl = window.maplibregl;

async function envelope(path) {
  const response = await fetch(path);
  if (!response.ok) throw new Error(`${path} answered ${response.status}`);
  return (await response.json()).data;
}

// Time from navigation start to the first frame with plots on it, for the page's own figures.
function watchFirstPlots(map, timings) {
  const check = () => {
    if (map.getLayer('plots-fill') && map.queryRenderedFeatures({ layers: ['plots-fill'] }).length) {
      timings.firstPlotsMs = performance.now();
      map.off('idle', check);
      map.off('render', check);
    }
  };
  map.on('render', check);
  map.on('idle', check);
}

async function main() {
  const timings = { startMs: performance.now() };
  const changeStats = { changes: 0, tilesReloaded: 0 };
  window.kavara = { timings, tileStats, changeStats };
  registerGlyphProtocol(maplibregl);
  registerTileProtocol(maplibregl);

  const [{ layers: catalogue }, plots, served] = await Promise.all([
    envelope('/gis/layers/'),
    envelope('/gis/plots/'),
    fetch('/gis/style.json').then((response) => response.json()),
  ]);
  const style = buildStyle(served, catalogue);
  const { latitude, longitude } = plots.centroid_wgs84;
  const map = new maplibregl.Map({
    container: 'map',
    style,
    center: [longitude, latitude],
    zoom: plots.suggested_tile.z,
    maxZoom: MAX_ZOOM,
    hash: true,
    // Tiles of this server go through the page's paced fetcher (tiles.js).
    transformRequest: (url, type) =>
      type === 'Tile' && new URL(url).origin === window.location.origin
        ? { url: tileUrl(new URL(url).pathname) }
        : undefined,
    attributionControl: { compact: true, customAttribution: 'Kavara land administration' },
  });
  window.kavara.map = map;
  map.addControl(new maplibregl.NavigationControl(), 'top-right');
  map.addControl(new maplibregl.ScaleControl({ unit: 'metric' }), 'bottom-right');
  watchFirstPlots(map, timings);
  enableLabels(
    map,
    Object.entries(LABELLED)
      .filter(([name]) => catalogue[name])
      .map(([name, rule]) => ({ name, ...rule })),
  );
  enablePlotDetails(map, maplibregl, document.getElementById('site-plan'));
  map.once('load', () => followChanges(map, changeStats));
  map.once('load', () => (timings.loadMs = performance.now()));
  await createPanel(map, catalogue, style, document.getElementById('panel'));
}

main().catch((error) => {
  const panel = document.getElementById('panel');
  const message = document.createElement('p');
  message.className = 'error';
  message.textContent = `The map could not start: ${error.message}`;
  panel.append(message);
  window.kavara = { ...window.kavara, error: error.message };
});
