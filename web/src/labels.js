// Names of areas and plots, placed once per feature. The tiles cut a polygon at their edges, so
// a label per piece would repeat a name along every tile edge; instead each feature gets one
// point, the middle of the box around all its pieces in the loaded tiles, in a GeoJSON source
// beside the tiles.
const EMPTY = { type: 'FeatureCollection', features: [] };

export function labelSource(name) {
  return `${name}-labels`;
}

export function emptyLabelSource() {
  return { type: 'geojson', data: EMPTY };
}

function extendBox(box, coordinates) {
  if (typeof coordinates[0] === 'number') {
    box[0] = Math.min(box[0], coordinates[0]);
    box[1] = Math.min(box[1], coordinates[1]);
    box[2] = Math.max(box[2], coordinates[0]);
    box[3] = Math.max(box[3], coordinates[1]);
    return;
  }
  for (const part of coordinates) extendBox(box, part);
}

// One point per feature id, carrying the feature's properties.
export function labelPoints(pieces, idProperty) {
  const features = new Map();
  for (const piece of pieces) {
    const id = piece.properties[idProperty];
    if (id === undefined || !piece.geometry) continue;
    let entry = features.get(id);
    if (!entry) {
      entry = { box: [Infinity, Infinity, -Infinity, -Infinity], properties: piece.properties };
      features.set(id, entry);
    }
    extendBox(entry.box, piece.geometry.coordinates);
  }
  return {
    type: 'FeatureCollection',
    features: [...features.values()].map(({ box, properties }) => ({
      type: 'Feature',
      properties,
      geometry: { type: 'Point', coordinates: [(box[0] + box[2]) / 2, (box[1] + box[3]) / 2] },
    })),
  };
}

// Keeps the label sources of `layers` ([{name, idProperty, minzoom}]) in step with the loaded
// tiles.
export function enableLabels(map, layers) {
  const last = new Map();
  let pending = 0;
  const refresh = () => {
    pending = 0;
    for (const { name, idProperty, minzoom } of layers) {
      if (map.getZoom() < minzoom) continue;
      const points = labelPoints(map.querySourceFeatures(name, { sourceLayer: name }), idProperty);
      const signature = points.features
        .map((f) => `${f.properties[idProperty]}:${f.geometry.coordinates.join(',')}`)
        .sort()
        .join('|');
      if (last.get(name) === signature) continue; // unchanged: no new render, no loop
      last.set(name, signature);
      map.getSource(labelSource(name))?.setData(points);
    }
  };
  const schedule = () => {
    if (!pending) pending = setTimeout(refresh, 120);
  };
  const names = new Set(layers.map((l) => l.name));
  map.on('sourcedata', (event) => {
    if (names.has(event.sourceId) && event.isSourceLoaded) schedule();
  });
  map.on('moveend', schedule);
}
