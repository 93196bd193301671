// Builds the demo page into dist/: the library's files and ours, each named after a hash of its
// content so the server can let browsers keep them for a year, and index.html pointing at them.
// No bundler: the page is a handful of files and the library ships ready to load.
import { createHash } from 'node:crypto';
import { mkdirSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { basename, dirname, extname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { gzipSync } from 'node:zlib';

const here = dirname(fileURLToPath(import.meta.url));
const dist = join(here, 'dist');
const assets = join(dist, 'assets');

// In dependency order: a file may name only files listed before it.
const sources = [
  'node_modules/maplibre-gl/dist/maplibre-gl.js',
  'node_modules/maplibre-gl/dist/maplibre-gl.css',
  'node_modules/@mapbox/tiny-sdf/index.js:tiny-sdf.js',
  'src/glyphs.js',
  'src/tiles.js',
  'src/changes.js',
  'src/labels.js',
  'src/layers.js',
  'src/panel.js',
  'src/site-plan.js',
  'src/app.js',
  'src/style.css',
];

const renamed = new Map(); // name the sources use -> hashed name in assets/

function rewrite(text) {
  for (const [name, hashed] of renamed) {
    const escaped = name.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
    text = text.replace(new RegExp(`(?<=[/"'])${escaped}(?=["')])`, 'g'), hashed);
  }
  return text;
}

rmSync(dist, { recursive: true, force: true });
mkdirSync(assets, { recursive: true });
for (const entry of sources) {
  const [path, alias] = entry.split(':');
  const name = alias ?? basename(path);
  const content = rewrite(readFileSync(join(here, path), 'utf8'));
  const hash = createHash('sha256').update(content).digest('hex').slice(0, 12);
  const hashed = `${basename(name, extname(name))}-${hash}${extname(name)}`;
  writeFileSync(join(assets, hashed), content);
  renamed.set(name, hashed);
}
writeFileSync(join(dist, 'index.html'), rewrite(readFileSync(join(here, 'src/index.html'), 'utf8')));
writeFileSync(join(dist, 'favicon.svg'), readFileSync(join(here, 'src/favicon.svg')));
// Gzip copies for the server to send to clients that accept them (the library shrinks to a fourth).
for (const folder of [dist, assets]) {
  for (const name of readdirSync(folder)) {
    if (!/\.(html|js|css|svg|json)$/.test(name)) continue;
    const path = join(folder, name);
    writeFileSync(`${path}.gz`, gzipSync(readFileSync(path), { level: 9 }));
  }
}
console.log(`web: built ${sources.length} files into ${dist}`);
