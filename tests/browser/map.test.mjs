// The demo page in a real browser against kavara-server on the seeded data: no console errors,
// the served style drawn with tiles of all five layers (by the page, and by the library alone as
// any style client loads it), features with the catalogue's properties at zoom 16, only the
// layers served at zoom 5 requested, the site plan of a clicked plot, and an edit made through
// psql recolouring its plot. Screenshots go to build/artifacts/.
//
// Needs KAVARA_SERVER_BIN (the server binary), the services of scripts/services (DATABASE_URL,
// REDIS_*), the seeded data set, web/node_modules and a built web/dist.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { after, before, describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const require = createRequire(join(root, 'web/package.json'));
const { chromium } = require('playwright-core');

const artifacts = join(root, 'build/artifacts');
const serverBin = process.env.KAVARA_SERVER_BIN;
const PLAN_PIXELS = { width: Math.round((190 / 25.4) * 300), height: Math.round((160 / 25.4) * 300) };

function startServer() {
  return new Promise((resolveStart, rejectStart) => {
    const child = spawn(serverBin, ['--port', '0', '--web-root', join(root, 'web/dist')], {
      // A Redis database of its own: the edit below purges tiles that tests running beside
      // this one keep in the shared database.
      env: { ...process.env, REDIS_DB: '7', KAVARA_LOG_LEVEL: process.env.KAVARA_LOG_LEVEL ?? 'warning' },
      stdio: ['ignore', 'pipe', 'inherit'],
    });
    let output = '';
    const timer = setTimeout(() => rejectStart(new Error(`server did not start: ${output}`)), 60000);
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const match = /listening on (http:\/\/[^\s]+)/.exec(output);
      if (match) {
        clearTimeout(timer);
        resolveStart({ child, url: match[1] });
      }
    });
    child.on('exit', (code) => rejectStart(new Error(`server exited with ${code}: ${output}`)));
  });
}

function stopServer(child) {
  return new Promise((resolveStop) => {
    if (child.exitCode !== null) return resolveStop(child.exitCode);
    child.on('exit', (code) => resolveStop(code));
    child.kill('SIGTERM');
  });
}

// The service layer of a tile request, or null for anything else.
function tileLayer(url) {
  const match = /\/gis\/([a-z]+)\/\d+\/\d+\/\d+\.pbf$/.exec(new URL(url).pathname);
  return match ? match[1] : null;
}

async function waitForIdle(page) {
  await page.evaluate(
    () =>
      new Promise((done) => {
        const { map } = window.kavara;
        if (map.loaded() && map.areTilesLoaded()) done();
        map.once('idle', done);
      }),
  );
}

// Features per vector source, from the tiles the map holds for the view.
function sourceFeatures(page, names) {
  return page.evaluate(
    (sources) =>
      Object.fromEntries(
        sources.map((name) => [name, window.kavara.map.querySourceFeatures(name, { sourceLayer: name }).length]),
      ),
    names,
  );
}

// A page of the server's origin that has nothing but the map library and the served style, as a
// client that knows only the style's URL loads it: no pacing, no labels, no page code.
async function openStyleOnly(context, origin, view) {
  const index = readFileSync(join(root, 'web/dist/index.html'), 'utf8');
  const asset = (pattern) => pattern.exec(index)[1];
  const script = asset(/src="\.\/(assets\/maplibre-gl-[^"]+\.js)"/);
  const css = asset(/href="\.\/(assets\/maplibre-gl-[^"]+\.css)"/);
  const page = await context.newPage();
  // Small, so the plain library's burst of tiles stays under the per-client rate limit.
  await page.setViewportSize({ width: 512, height: 384 });
  const body = `<!doctype html><html><head><link rel="stylesheet" href="/${css}"><script src="/${script}"></script></head>
    <body style="margin:0"><div id="map" style="width:512px;height:384px"></div><script>
      const map = new maplibregl.Map({ container: 'map', style: '${origin}/gis/style.json',
        center: ${JSON.stringify(view.center)}, zoom: ${view.zoom} });
      window.kavara = { map };
    </script></body></html>`;
  await page.route(`${origin}/style-only.html`, (route) => route.fulfill({ contentType: 'text/html', body }));
  return page;
}

function psql(sql) {
  const result = spawnSync('psql', ['-X', '-q', '-v', 'ON_ERROR_STOP=1', process.env.DATABASE_URL, '-c', sql], { encoding: 'utf8' });
  assert.equal(result.status, 0, result.stderr);
}

async function jump(page, view) {
  await page.evaluate((v) => window.kavara.map.jumpTo(v), view);
  await page.waitForTimeout(100);
  await waitForIdle(page);
}

describe('demo map in a browser', () => {
  let server;
  let browser;
  let page;
  let catalogue;
  let profileDir;
  const consoleErrors = [];
  const tiles = []; // {layer, status, bytes}
  const throttled = []; // tile requests the service refused with 429, for the whole run

  before(async () => {
    assert.ok(serverBin, 'KAVARA_SERVER_BIN must name the kavara-server binary');
    mkdirSync(artifacts, { recursive: true });
    server = await startServer();
    catalogue = (await (await fetch(`${server.url}/gis/layers/`)).json()).data.layers;
    const profile = mkdtempSync(join(tmpdir(), 'kavara-chromium-'));
    // A fresh profile every run, so no cache or stored state carries over.
    browser = await chromium.launchPersistentContext(profile, {
      executablePath: process.env.KAVARA_CHROMIUM ?? '/usr/bin/chromium',
      headless: true,
      viewport: { width: 1280, height: 800 },
      args: [
        '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
        '--disable-quic', '--no-first-run', '--disable-component-update', '--disable-sync',
        '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
      ],
    });
    profileDir = profile;
    page = browser.pages()[0] ?? (await browser.newPage());
    page.on('console', (message) => {
      if (message.type() === 'error') consoleErrors.push(message.text());
    });
    page.on('pageerror', (error) => consoleErrors.push(String(error)));
    page.on('response', async (response) => {
      const layer = tileLayer(response.url());
      if (!layer) return;
      const body = response.status() === 200 ? await response.body().catch(() => Buffer.alloc(0)) : Buffer.alloc(0);
      tiles.push({ layer, status: response.status(), bytes: body.length });
      if (response.status() === 429) throttled.push(response.url());
    });
  });

  after(async () => {
    await browser?.close();
    if (profileDir) rmSync(profileDir, { recursive: true, force: true });
    if (server) assert.equal(await stopServer(server.child), 0, 'kavara-server exits cleanly');
  });

  it('loads without console errors and draws plots', async () => {
    await page.goto(server.url, { waitUntil: 'load' });
    await page.waitForFunction(() => window.kavara?.timings?.firstPlotsMs || window.kavara?.error, null, { timeout: 60000 });
    const timings = await page.evaluate(() => window.kavara.timings);
    assert.equal(await page.evaluate(() => window.kavara.error ?? null), null);
    console.log(`first plots drawn ${Math.round(timings.firstPlotsMs)} ms after navigation start`);
    await waitForIdle(page);
    assert.deepEqual(consoleErrors, []);
  });

  it("builds on the served style and draws tiles of all five layers", async () => {
    const served = await (await fetch(`${server.url}/gis/style.json`)).json();
    const drawn = await page.evaluate(() => window.kavara.map.getStyle().layers.map((l) => l.id));
    const servedIds = served.layers.map((l) => l.id);
    assert.deepEqual(drawn.filter((id) => servedIds.includes(id)), servedIds, 'every served layer, in order');
    const start = await page.evaluate(() => window.kavara.map.getCenter());
    await jump(page, { center: start, zoom: 16 });
    const counts = await sourceFeatures(page, Object.keys(served.sources));
    for (const [name, count] of Object.entries(counts)) assert.ok(count > 0, `${name}: ${count} features`);
    assert.deepEqual(Object.keys(counts).sort(), Object.keys(catalogue).sort());
    assert.deepEqual(consoleErrors, []);
  });

  it('finds plot and beacon features with the catalogue properties at zoom 16', async () => {
    const start = await page.evaluate(() => window.kavara.map.getCenter());
    await jump(page, { center: start, zoom: 16 });
    await page.screenshot({ path: join(artifacts, 'map-z16.png') });
    const rendered = await page.evaluate(() => {
      const { map } = window.kavara;
      const keys = (layer) => map.queryRenderedFeatures({ layers: [layer] }).map((f) => Object.keys(f.properties));
      return { plots: keys('plots-fill'), beacons: keys('beacons-circle') };
    });
    // The catalogue's columns, and the feature id the statement adds to every feature.
    const expected = (name) =>
      [...catalogue[name].properties.map((p) => p.replaceAll('"', '')), 'feature_id'].sort();
    assert.ok(rendered.plots.length > 20, `plots drawn: ${rendered.plots.length}`);
    assert.ok(rendered.beacons.length > 20, `beacons drawn: ${rendered.beacons.length}`);
    // Null columns are left out of a feature, so every feature's keys are within the catalogue's
    // and the "ID" is always there.
    for (const [layer, features] of Object.entries(rendered)) {
      for (const featureKeys of features) {
        assert.ok(featureKeys.includes('ID'), `${layer} feature without ID`);
        for (const key of featureKeys) assert.ok(expected(layer).includes(key), `${layer}: ${key}`);
      }
    }
    const complete = rendered.plots.filter((k) => k.sort().join() === expected('plots').join());
    assert.ok(complete.length > 0, 'some plots carry every catalogue property');
    assert.deepEqual(consoleErrors, []);
  });

  it('requests only the layers served at zoom 5, each with content', async () => {
    const center = await page.evaluate(() => window.kavara.map.getCenter());
    tiles.length = 0;
    await jump(page, { center, zoom: 5 });
    await page.screenshot({ path: join(artifacts, 'map-z5.png') });
    const served = Object.values(catalogue).filter((l) => l.min_zoom <= 5).map((l) => l.name).sort();
    const requested = [...new Set(tiles.map((t) => t.layer))].sort();
    assert.deepEqual(requested, served);
    for (const name of served)
      assert.ok(tiles.some((t) => t.layer === name && t.status === 200 && t.bytes > 0), `${name} has content`);
    const zoomText = await page.textContent('[data-testid=zoom]');
    assert.equal(zoomText, '5.0');
    assert.deepEqual(consoleErrors, []);
  });

  it('keeps under the tile rate limit while the view moves quickly', async () => {
    const { lng, lat } = await page.evaluate(() => window.kavara.map.getCenter());
    // Each jump needs a fresh set of tiles from every layer, several times the per-second limit.
    for (const [dx, dy, zoom] of [[0.004, 0, 16], [0, 0.004, 17], [-0.004, 0, 16], [0, -0.004, 15], [0.002, 0.002, 17]]) {
      await page.evaluate((v) => window.kavara.map.jumpTo(v), { center: [lng + dx, lat + dy], zoom });
      await page.waitForTimeout(150);
    }
    await waitForIdle(page);
    assert.deepEqual(throttled, []);
    const stats = await page.evaluate(() => window.kavara.tileStats);
    assert.equal(stats.throttled, 0);
    assert.equal(stats.failed, 0);
    assert.deepEqual(consoleErrors, []);
  });

  it('opens the site plan of a clicked plot', async () => {
    const start = await page.evaluate(() => window.kavara.map.getCenter());
    await jump(page, { center: start, zoom: 18 });
    // Click the middle of a drawn plot: the point of the canvas its feature covers.
    const target = await page.evaluate(() => {
      const { map } = window.kavara;
      const canvas = map.getCanvas().getBoundingClientRect();
      // Out from the centre, which may fall on a road between blocks.
      for (let ring = 0; ring < 300; ring += 20) {
        for (const [dx, dy] of [[ring, 0], [-ring, 0], [0, ring], [0, -ring], [ring, ring], [-ring, -ring]]) {
          const point = [canvas.width / 2 + dx, canvas.height / 2 + dy];
          const [hit] = map.queryRenderedFeatures(point, { layers: ['plots-fill'] });
          if (hit) return { x: canvas.left + point[0], y: canvas.top + point[1], id: hit.properties.ID };
        }
      }
      return null;
    });
    assert.ok(target, 'a plot near the centre of the map');
    await page.mouse.click(target.x, target.y);
    await page.getByRole('button', { name: 'Site plan' }).click();
    const image = page.locator('#site-plan img');
    await image.waitFor({ state: 'visible', timeout: 60000 });
    const size = await image.evaluate((img) => ({ width: img.naturalWidth, height: img.naturalHeight, src: img.src }));
    assert.deepEqual({ width: size.width, height: size.height }, PLAN_PIXELS);
    assert.ok(size.src.startsWith('data:image/png;base64,'));
    assert.match(await page.textContent('#site-plan [data-role=status]'), /^Scale 1:\d+ on 190 × 160 mm$/);
    const pdf = await page.getAttribute('#site-plan [data-role=pdf]', 'href');
    assert.equal(pdf, `/plots/site-plan/${target.id}.pdf`);
    await page.screenshot({ path: join(artifacts, 'site-plan.png') });
    assert.deepEqual(consoleErrors, []);
  });

  it('recolours a plot edited through psql within 3 s', async () => {
    const close = page.locator('#site-plan [data-role=close]');
    if (await close.isVisible()) await close.click(); // the site plan of the test before
    const start = await page.evaluate(() => window.kavara.map.getCenter());
    await jump(page, { center: start, zoom: 16 });
    const plot = await page.evaluate(() => {
      const { map } = window.kavara;
      const [hit] = map.queryRenderedFeatures({ layers: ['plots-fill'] });
      return hit ? { id: hit.properties.ID, status: hit.properties.STATUS } : null;
    });
    assert.ok(plot, 'a plot drawn at zoom 16');
    const status = plot.status === 'Revoked' ? 'Vacant' : 'Revoked';
    try {
      psql(`UPDATE "GIS"."PLOT" SET "STATUS" = '${status}' WHERE "ID" = ${plot.id}`);
      const committed = performance.now();
      await page.waitForFunction(
        ([id, wanted]) =>
          window.kavara.map.queryRenderedFeatures({ layers: ['plots-fill'], filter: ['==', ['get', 'ID'], id] })[0]
            ?.properties.STATUS === wanted,
        [plot.id, status],
        { timeout: 3000, polling: 50 },
      );
      console.log(`edited plot ${plot.id} redrawn ${Math.round(performance.now() - committed)} ms after its commit`);
      await page.screenshot({ path: join(artifacts, 'map-edited.png') });
    } finally {
      psql(`UPDATE "GIS"."PLOT" SET "STATUS" = ${plot.status == null ? 'NULL' : `'${plot.status}'`} WHERE "ID" = ${plot.id}`);
    }
    assert.deepEqual(consoleErrors, []);
  });

  it('draws the five layers from the style URL alone', async () => {
    const center = await page.evaluate(() => window.kavara.map.getCenter());
    await page.waitForTimeout(1100); // a fresh rate-limit window after the page's own tiles
    const bare = await openStyleOnly(browser, server.url, { center: [center.lng, center.lat], zoom: 16 });
    const errors = [];
    bare.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
    bare.on('pageerror', (error) => errors.push(String(error)));
    await bare.goto(`${server.url}/style-only.html`, { waitUntil: 'load' });
    await waitForIdle(bare);
    await bare.screenshot({ path: join(artifacts, 'style-only-z16.png') });
    const counts = await sourceFeatures(bare, Object.keys(catalogue));
    for (const [name, count] of Object.entries(counts)) assert.ok(count > 0, `${name}: ${count} features`);
    assert.deepEqual(errors, []);
    await bare.close();
  });
});
