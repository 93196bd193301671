// Time from navigation start to the first frame with plots, and to the map's load event (every
// tile of the first view drawn), in headless chromium against a
// running kavara-server: `node bench/web/first_plots.mjs http://127.0.0.1:8000 [runs]`.
// Each run has a fresh browser profile (nothing in the browser cache). "cold" runs empty the
// server's tile cache first (POST /gis/cache/invalidate/all), "warm" runs reuse it.
import { mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const { chromium } = createRequire(join(root, 'web/package.json'))('playwright-core');
const [url = 'http://127.0.0.1:8000', runsText = '5'] = process.argv.slice(2);
const runs = Number(runsText);

async function once() {
  const profile = mkdtempSync(join(tmpdir(), 'kavara-bench-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1280, height: 800 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-quic',
      '--no-first-run', '--disable-component-update', '--disable-sync', '--use-angle=swiftshader',
      '--enable-unsafe-swiftshader'],
  });
  try {
    const page = context.pages()[0] ?? (await context.newPage());
    await page.goto(url);
    await page.waitForFunction(() => window.kavara?.timings?.loadMs, null, { timeout: 60000 });
    return await page.evaluate(() => ({ ...window.kavara.timings, tiles: window.kavara.tileStats.requested }));
  } finally {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

for (const mode of ['cold', 'warm']) {
  const firsts = [];
  const loads = [];
  for (let i = 0; i < runs; i++) {
    if (mode === 'cold') await fetch(`${url}/gis/cache/invalidate/all`, { method: 'POST' });
    const t = await once();
    firsts.push(t.firstPlotsMs);
    loads.push(t.loadMs);
  }
  console.log(`${mode}: first plots median ${Math.round(median(firsts))} ms ` +
    `(min ${Math.round(Math.min(...firsts))}, max ${Math.round(Math.max(...firsts))}); ` +
    `every tile of the view drawn (load event) median ${Math.round(median(loads))} ms; ${runs} runs`);
}
