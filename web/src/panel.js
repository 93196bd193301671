// The side panel: the zoom level, which layers the service serves at it (from each layer's
// zoom-info), a switch per layer, and the colours of the parcels.
import { LAYER_ORDER, STATUS_COLOURS, styleLayerIds } from './layers.js';

async function servedZooms(layer) {
  const response = await fetch(layer.endpoints.zoom_info);
  if (!response.ok) throw new Error(`${layer.endpoints.zoom_info}: ${response.status}`);
  const { data } = await response.json();
  return new Set(
    Object.entries(data.zoom_levels)
      .filter(([, level]) => level.available)
      .map(([zoom]) => Number(zoom)),
  );
}

function element(tag, attributes = {}, children = []) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'text') node.textContent = value;
    else node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

function legend() {
  return element('ul', { class: 'legend' },
    Object.entries(STATUS_COLOURS).map(([status, colour]) =>
      element('li', {}, [element('span', { class: 'swatch', style: `background:${colour}` }), status])));
}

export async function createPanel(map, catalogue, style, container) {
  const names = LAYER_ORDER.filter((name) => catalogue[name]);
  const zooms = new Map(
    await Promise.all(names.map(async (name) => [name, await servedZooms(catalogue[name])])),
  );
  const zoomText = element('strong', { 'data-testid': 'zoom' });
  const rows = new Map();
  const list = element('ul', { class: 'layers' });
  for (const name of [...names].reverse()) {
    const toggle = element('input', { type: 'checkbox', 'data-layer': name });
    toggle.checked = true;
    toggle.addEventListener('change', () => {
      for (const id of styleLayerIds(style, name))
        map.setLayoutProperty(id, 'visibility', toggle.checked ? 'visible' : 'none');
    });
    const state = element('span', { class: 'state' });
    const row = element('li', {}, [element('label', {}, [toggle, ` ${name}`]), state]);
    rows.set(name, { row, state });
    list.append(row);
  }
  container.append(
    element('h1', { text: 'Kavara cadastre' }),
    element('p', { class: 'zoom' }, ['Zoom ', zoomText]),
    list,
    element('h2', { text: 'Plot status' }),
    legend(),
    element('p', { class: 'hint', text: 'Click a plot for its details and site plan.' }),
  );

  const update = () => {
    const zoom = map.getZoom();
    zoomText.textContent = zoom.toFixed(1);
    const tileZoom = Math.floor(zoom);
    for (const [name, { row, state }] of rows) {
      const served = zooms.get(name).has(tileZoom);
      row.classList.toggle('unserved', !served);
      state.textContent = served ? 'shown' : `from z${catalogue[name].min_zoom}`;
    }
  };
  map.on('zoom', update);
  update();
}
