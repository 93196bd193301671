// The cadastral map style: one vector source per layer of the tile service, each with the
// layer's minimum zoom so that the map never asks for tiles the service does not serve.
import { GLYPHS_URL } from './glyphs.js';
import { emptyLabelSource, labelSource } from './labels.js';
import { tileUrl } from './tiles.js';

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
const UNKNOWN_STATUS = '#dddddd';

function statusColour() {
  const pairs = Object.entries(STATUS_COLOURS).flat();
  return ['match', ['get', 'STATUS'], ...pairs, UNKNOWN_STATUS];
}

// The style layers of each service layer, bottom to top.
function styleLayersOf(name) {
  const meta = { 'kavara:layer': name };
  const base = { source: name, 'source-layer': name, metadata: meta };
  const label = { source: labelSource(name), metadata: meta };
  switch (name) {
    case 'lgas':
      return [
        { ...base, id: 'lgas-line', type: 'line',
          paint: { 'line-color': '#5b2a86', 'line-width': ['interpolate', ['linear'], ['zoom'], 4, 1.5, 14, 3.5], 'line-dasharray': [4, 2] } },
        { ...label, id: 'lgas-label', type: 'symbol', maxzoom: 13,
          layout: { 'text-field': ['get', 'name'], 'text-font': BOLD, 'text-size': 15, 'text-transform': 'uppercase', 'text-letter-spacing': 0.12 },
          paint: { 'text-color': '#5b2a86', ...HALO } },
      ];
    case 'districts':
      return [
        { ...base, id: 'districts-line', type: 'line',
          paint: { 'line-color': '#8e44ad', 'line-width': ['interpolate', ['linear'], ['zoom'], 4, 0.8, 14, 2.2] } },
        { ...label, id: 'districts-label', type: 'symbol', minzoom: LABELLED.districts.minzoom, maxzoom: 15,
          layout: { 'text-field': ['get', 'name'], 'text-font': BOLD, 'text-size': 13 },
          paint: { 'text-color': '#6c3483', ...HALO } },
      ];
    case 'cadzones':
      return [
        { ...base, id: 'cadzones-fill', type: 'fill', paint: { 'fill-color': '#2a9d8f', 'fill-opacity': 0.06 } },
        { ...base, id: 'cadzones-line', type: 'line',
          paint: { 'line-color': '#2a9d8f', 'line-width': 1.2, 'line-dasharray': [2, 2] } },
        { ...label, id: 'cadzones-label', type: 'symbol', minzoom: LABELLED.cadzones.minzoom,
          layout: { 'text-field': ['get', 'name'], 'text-font': REGULAR, 'text-size': 12 },
          paint: { 'text-color': '#1d6f65', ...HALO } },
      ];
    case 'plots':
      return [
        { ...base, id: 'plots-fill', type: 'fill', paint: { 'fill-color': statusColour(), 'fill-opacity': 0.85 } },
        { ...base, id: 'plots-line', type: 'line',
          paint: { 'line-color': '#3d3d3d', 'line-width': ['interpolate', ['linear'], ['zoom'], 12, 0.2, 18, 1.4] } },
        { ...base, id: 'plots-selected', type: 'line', filter: ['==', ['get', 'ID'], -1],
          paint: { 'line-color': '#d00000', 'line-width': 3 } },
        { ...label, id: 'plots-label', type: 'symbol', minzoom: LABELLED.plots.minzoom,
          layout: { 'text-field': ['get', 'PLOT_NO'], 'text-font': REGULAR, 'text-size': 11 },
          paint: { 'text-color': '#222', ...HALO } },
      ];
    case 'beacons':
      return [
        { ...base, id: 'beacons-circle', type: 'circle',
          paint: {
            'circle-radius': ['interpolate', ['linear'], ['zoom'], 12, 1.2, 16, 2.6, 20, 5],
            'circle-color': ['match', ['get', 'STATUS'], 'Missing', '#ffffff', 'Disturbed', '#f77f00', '#c1121f'],
            'circle-stroke-color': '#6a040f',
            'circle-stroke-width': ['interpolate', ['linear'], ['zoom'], 12, 0.3, 18, 1],
          } },
        { ...base, id: 'beacons-label', type: 'symbol', minzoom: 19,
          layout: { 'text-field': ['get', 'BEACON_NO'], 'text-font': REGULAR, 'text-size': 10, 'text-offset': [0, 0.9], 'text-anchor': 'top' },
          paint: { 'text-color': '#6a040f', ...HALO } },
      ];
    default:
      return [];
  }
}

// Fills at the bottom, then parcel edges under the administrative outlines, beacons, labels.
const DRAW_ORDER = [
  'cadzones-fill', 'plots-fill', 'plots-line', 'cadzones-line', 'districts-line', 'lgas-line',
  'plots-selected', 'beacons-circle', 'plots-label', 'beacons-label', 'cadzones-label',
  'districts-label', 'lgas-label',
];

// `catalogue` is the "layers" object of GET /gis/layers/.
export function buildStyle(catalogue) {
  const names = LAYER_ORDER.filter((name) => catalogue[name]);
  const sources = {};
  // The map asks for tiles source by source: parcels first, beacons (many small tiles) last.
  for (const name of [...names].sort((a, b) => LOAD_ORDER.indexOf(a) - LOAD_ORDER.indexOf(b))) {
    const layer = catalogue[name];
    sources[name] = {
      type: 'vector',
      tiles: [tileUrl(layer.endpoints.xyz)],
      minzoom: layer.min_zoom,
      maxzoom: MAX_ZOOM,
    };
    if (LABELLED[name]) sources[labelSource(name)] = emptyLabelSource();
  }
  return {
    version: 8,
    name: 'Kavara cadastre',
    glyphs: GLYPHS_URL,
    sources,
    layers: [
      { id: 'paper', type: 'background', paint: { 'background-color': '#f7f4ec' } },
      ...names
        .flatMap(styleLayersOf)
        .sort((a, b) => DRAW_ORDER.indexOf(a.id) - DRAW_ORDER.indexOf(b.id)),
    ],
  };
}

// The style layer ids drawn for one service layer.
export function styleLayerIds(style, name) {
  return style.layers.filter((l) => l.metadata?.['kavara:layer'] === name).map((l) => l.id);
}
