// The cadastral map style of the page: the server's style, whose sources are the layers'
// TileJSON documents (each with the layer's minimum zoom, so that the map never asks for tiles
// the service does not serve), and the page's labels.
import { GLYPHS_URL } from './glyphs.js';
import { emptyLabelSource, labelSource } from './labels.js';

export const MAX_ZOOM = 20;
export const LAYER_ORDER = ['lgas', 'districts', 'cadzones', 'plots', 'beacons'];
const LOAD_ORDER = ['plots', 'cadzones', 'districts', 'lgas', 'beacons'];
// The polygon layers whose names are drawn, and the property that tells their features apart.
// Their label layers' minimum zooms follow, so that no work is done for labels not drawn.
export const LABELLED = {
  lgas: { idProperty: 'id', minzoom: 0 },
  districts: { idProperty: 'id', minzoom: 8 },
  cadzones: { idProperty: 'id', minzoom: 11 },
  plots: { idProperty: 'ID', minzoom: 17 },
};

const REGULAR = ['DejaVu Sans Book'];
const BOLD = ['DejaVu Sans Bold'];
const HALO = { 'text-halo-color': 'rgba(255,255,255,0.9)', 'text-halo-width': 1.4 };

export const STATUS_COLOURS = {
  Vacant: '#e9f5db',
  Allocated: '#fde2a7',
  'Under Development': '#f9c784',
  Developed: '#f4a261',
  Revoked: '#e5989b',
};

// The label layers of each service layer. They are the page's own: they draw names from label
// points the page computes (labels.js) with glyphs it draws itself (glyphs.js), which a style
// served for any client cannot count on.
function labelLayersOf(name) {
  const meta = { 'kavara:layer': name };
  const label = { source: labelSource(name), metadata: meta };
  switch (name) {
    case 'lgas':
      return [{ ...label, id: 'lgas-label', type: 'symbol', maxzoom: 13,
        layout: { 'text-field': ['get', 'name'], 'text-font': BOLD, 'text-size': 15, 'text-transform': 'uppercase', 'text-letter-spacing': 0.12 },
        paint: { 'text-color': '#5b2a86', ...HALO } }];
    case 'districts':
      return [{ ...label, id: 'districts-label', type: 'symbol', minzoom: LABELLED.districts.minzoom, maxzoom: 15,
        layout: { 'text-field': ['get', 'name'], 'text-font': BOLD, 'text-size': 13 },
        paint: { 'text-color': '#6c3483', ...HALO } }];
    case 'cadzones':
      return [{ ...label, id: 'cadzones-label', type: 'symbol', minzoom: LABELLED.cadzones.minzoom,
        layout: { 'text-field': ['get', 'name'], 'text-font': REGULAR, 'text-size': 12 },
        paint: { 'text-color': '#1d6f65', ...HALO } }];
    case 'plots':
      return [{ ...label, id: 'plots-label', type: 'symbol', minzoom: LABELLED.plots.minzoom,
        layout: { 'text-field': ['get', 'PLOT_NO'], 'text-font': REGULAR, 'text-size': 11 },
        paint: { 'text-color': '#222', ...HALO } }];
    case 'beacons':
      return [{ source: 'beacons', 'source-layer': 'beacons', metadata: meta, id: 'beacons-label', type: 'symbol', minzoom: 19,
        layout: { 'text-field': ['get', 'BEACON_NO'], 'text-font': REGULAR, 'text-size': 10, 'text-offset': [0, 0.9], 'text-anchor': 'top' },
        paint: { 'text-color': '#6a040f', ...HALO } }];
    default:
      return [];
  }
}

// Labels above everything the served style draws.
const LABEL_ORDER = ['plots-label', 'beacons-label', 'cadzones-label', 'districts-label', 'lgas-label'];

// The page's map: the server's style (GET /gis/style.json, the one a GIS desktop loads too)
// with the layers of `catalogue` (the "layers" object of GET /gis/layers/), plus the page's
// labels and glyphs.
export function buildStyle(served, catalogue) {
  const names = LAYER_ORDER.filter((name) => catalogue[name]);
  const sources = {};
  // The map asks for tiles source by source: parcels first, beacons (many small tiles) last.
  for (const name of [...names].sort((a, b) => LOAD_ORDER.indexOf(a) - LOAD_ORDER.indexOf(b))) {
    sources[name] = served.sources[name];
    if (LABELLED[name]) sources[labelSource(name)] = emptyLabelSource();
  }
  const drawn = served.layers.filter((l) => !l.source || names.includes(l.source));
  const labels = names
    .flatMap(labelLayersOf)
    .sort((a, b) => LABEL_ORDER.indexOf(a.id) - LABEL_ORDER.indexOf(b.id));
  return { ...served, glyphs: GLYPHS_URL, sources, layers: [...drawn, ...labels] };
}

// The style layer ids drawn for one service layer.
export function styleLayerIds(style, name) {
  return style.layers.filter((l) => l.metadata?.['kavara:layer'] === name).map((l) => l.id);
}
