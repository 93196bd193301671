// Plot details on click, and the site plan of the chosen plot in a dialog.
const PROPERTIES = ['ID', 'PLOT_NO', 'STATUS', 'AREA_SYSTEM', 'GENERAL_LU', 'CADZONE', 'DETAIL_LU', 'file_no'];

function detailsTable(properties) {
  const table = document.createElement('table');
  for (const key of PROPERTIES) {
    if (!(key in properties)) continue;
    const row = table.insertRow();
    row.insertCell().textContent = key;
    row.insertCell().textContent = String(properties[key]);
  }
  return table;
}

async function failureDetail(url) {
  try {
    const response = await fetch(url);
    const body = await response.json();
    return body.detail ?? body.message ?? `${response.status}`;
  } catch {
    return 'the server did not answer';
  }
}

function showPlan(dialog, plotId, plotNo) {
  const base = `/plots/site-plan/${encodeURIComponent(plotId)}`;
  const title = dialog.querySelector('[data-role=title]');
  const status = dialog.querySelector('[data-role=status]');
  const image = dialog.querySelector('img');
  const pdf = dialog.querySelector('[data-role=pdf]');
  title.textContent = `Site plan of ${plotNo ?? `plot ${plotId}`}`;
  status.textContent = 'Drawing the plan…';
  image.hidden = true;
  pdf.href = `${base}.pdf`;
  image.onload = () => {
    status.textContent = '';
    image.hidden = false;
  };
  image.onerror = async () => {
    status.textContent = `No plan: ${await failureDetail(base)}`;
  };
  image.src = `${base}.png`;
  if (!dialog.open) dialog.showModal();
}

export function enablePlotDetails(map, maplibregl, dialog) {
  const popup = new maplibregl.Popup({ maxWidth: '320px' });
  map.on('mouseenter', 'plots-fill', () => (map.getCanvas().style.cursor = 'pointer'));
  map.on('mouseleave', 'plots-fill', () => (map.getCanvas().style.cursor = ''));
  map.on('click', 'plots-fill', (event) => {
    const feature = event.features[0];
    const { properties } = feature;
    map.setFilter('plots-selected', ['==', ['get', 'ID'], properties.ID]);
    const content = document.createElement('div');
    content.className = 'plot-details';
    const heading = document.createElement('h3');
    heading.textContent = properties.PLOT_NO ?? `Plot ${properties.ID}`;
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Site plan';
    button.addEventListener('click', () => showPlan(dialog, properties.ID, properties.PLOT_NO));
    content.append(heading, detailsTable(properties), button);
    popup.setLngLat(event.lngLat).setDOMContent(content).addTo(map);
  });
  dialog.querySelector('[data-role=close]').addEventListener('click', () => dialog.close());
}
