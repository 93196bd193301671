// Edits reach the open map within seconds: the server tells of each change to a layer table
// (GET /gis/changes, server-sent events) once it has purged the tiles the change touched, and
// the page reloads just those tiles of that layer, fetched past the browser's copy.
import { noteChange, overlaps, tileExtent } from './tiles.js';

// The tiles of `extent` the map may be showing: at the zooms around the current one, inside the
// view. Tiles the map does not hold are ignored by refreshTiles; those fetched later are
// revalidated by tiles.js.
function tilesToReload(map, extent) {
  const bounds = map.getBounds();
  const view = [bounds.getWest(), bounds.getSouth(), bounds.getEast(), bounds.getNorth()];
  if (!overlaps(view, extent)) return [];
  const box = [
    Math.max(extent[0], view[0]), Math.max(extent[1], view[1]),
    Math.min(extent[2], view[2]), Math.min(extent[3], view[3]),
  ];
  const tiles = [];
  const zoom = Math.floor(map.getZoom());
  for (let z = Math.max(0, zoom - 1); z <= Math.min(20, zoom + 1); z++) {
    const n = 2 ** z;
    const column = (lon) => Math.min(n - 1, Math.max(0, Math.floor(((lon + 180) / 360) * n)));
    const row = (lat) => {
      const phi = (Math.max(-85.0511, Math.min(85.0511, lat)) * Math.PI) / 180;
      const y = ((1 - Math.log(Math.tan(phi) + 1 / Math.cos(phi)) / Math.PI) / 2) * n;
      return Math.min(n - 1, Math.max(0, Math.floor(y)));
    };
    for (let x = column(box[0]); x <= column(box[2]); x++)
      for (let y = row(box[3]); y <= row(box[1]); y++)
        if (overlaps(tileExtent(z, x, y), extent)) tiles.push({ z, x, y });
  }
  return tiles;
}

export function followChanges(map, stats) {
  const events = new EventSource('/gis/changes');
  events.addEventListener('change', (event) => {
    const { layer, extent } = JSON.parse(event.data);
    stats.changes++;
    if (!extent || !map.getSource(layer)) return;
    noteChange(layer, extent);
    const tiles = tilesToReload(map, extent);
    stats.tilesReloaded += tiles.length;
    if (tiles.length) map.refreshTiles(layer, tiles);
  });
  // EventSource reconnects by itself (the server's retry hint); nothing to do on an error.
  return events;
}
