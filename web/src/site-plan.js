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

// The legs too short to carry their bearing and distance on the plan are listed beside it.
function scheduleTable(schedule) {
  const table = document.createElement('table');
  table.className = 'schedule';
  const head = table.createTHead().insertRow();
  for (const title of ['From', 'To', 'Bearing', 'Distance (m)']) {
    const cell = document.createElement('th');
    cell.textContent = title;
    head.append(cell);
  }
  const body = table.createTBody();
  for (const leg of schedule) {
    const row = body.insertRow();
    for (const key of ['from', 'to', 'bearing', 'distance']) row.insertCell().textContent = leg[key];
  }
  return table;
}

async function showPlan(dialog, plotId, plotNo) {
  const base = `/plots/site-plan/${encodeURIComponent(plotId)}`;
  const title = dialog.querySelector('[data-role=title]');
  const status = dialog.querySelector('[data-role=status]');
  const image = dialog.querySelector('img');
  const legs = dialog.querySelector('[data-role=schedule]');
  title.textContent = `Site plan of ${plotNo ?? `plot ${plotId}`}`;
  status.textContent = 'Drawing the plan…';
  image.hidden = true;
  legs.replaceChildren();
  dialog.querySelector('[data-role=pdf]').href = `${base}.pdf`;
  dialog.querySelector('[data-role=png]').href = `${base}.png`;
  if (!dialog.open) dialog.showModal();
  try {
    const response = await fetch(base);
    const body = await response.json();
    if (!response.ok) throw new Error(body.detail ?? `${response.status}`);
    const { image64, scale, paper_size: [width, height], schedule } = body.data;
    image.onload = () => {
      status.textContent = `Scale 1:${scale} on ${width} × ${height} mm`;
      image.hidden = false;
    };
    image.src = `data:image/png;base64,${image64}`;
    if (schedule.length) legs.append(scheduleTable(schedule));
  } catch (error) {
    status.textContent = `No plan: ${error.message}`;
  }
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
