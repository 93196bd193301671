// Label glyphs drawn in the browser from the machine's own fonts, so the map needs no glyph
// server and works offline. The map asks for ranges of 256 code points as signed-distance
// bitmaps in the usual protocol-buffer layout; this module answers those requests itself.
import TinySDF from './tiny-sdf.js';

export const GLYPH_PROTOCOL = 'kavara-glyphs';
export const GLYPHS_URL = `${GLYPH_PROTOCOL}://{fontstack}/{range}`;

// The map reads glyph bitmaps at 24 px with a 3 px border; their tops are measured from a line
// 27 px above the baseline.
const FONT_SIZE = 24;
const BORDER = 3;
const TOP_OFFSET = 27;
const FAMILY = '"DejaVu Sans", "Noto Sans", "Liberation Sans", sans-serif';

const drawers = new Map();

function drawerFor(fontstack) {
  if (!drawers.has(fontstack)) {
    drawers.set(
      fontstack,
      new TinySDF({
        fontSize: FONT_SIZE,
        buffer: BORDER,
        radius: 8,
        cutoff: 0.25,
        fontFamily: FAMILY,
        fontWeight: /bold/i.test(fontstack) ? 'bold' : 'normal',
      }),
    );
  }
  return drawers.get(fontstack);
}

// The smallest protocol-buffer writer the glyph messages need.
class Writer {
  constructor() {
    this.bytes = [];
  }
  varint(value) {
    while (value > 0x7f) {
      this.bytes.push((value & 0x7f) | 0x80);
      value = Math.floor(value / 128);
    }
    this.bytes.push(value);
  }
  uint(field, value) {
    this.varint((field << 3) | 0);
    this.varint(value);
  }
  sint(field, value) {
    this.uint(field, value < 0 ? -2 * value - 1 : 2 * value);
  }
  bytesField(field, bytes) {
    this.varint((field << 3) | 2);
    this.varint(bytes.length);
    for (const b of bytes) this.bytes.push(b);
  }
  string(field, text) {
    this.bytesField(field, new TextEncoder().encode(text));
  }
}

function glyphMessage(id, drawer) {
  const glyph = drawer.draw(String.fromCodePoint(id));
  const message = new Writer();
  message.uint(1, id);
  const empty = glyph.glyphWidth === 0 || glyph.glyphHeight === 0;
  if (!empty) message.bytesField(2, glyph.data);
  message.uint(3, empty ? 0 : glyph.glyphWidth);
  message.uint(4, empty ? 0 : glyph.glyphHeight);
  message.sint(5, glyph.glyphLeft);
  message.sint(6, glyph.glyphTop - TOP_OFFSET);
  message.uint(7, Math.round(glyph.glyphAdvance));
  return message.bytes;
}

// One range of glyphs ("0-255") of one font stack, encoded.
export function encodeGlyphRange(fontstack, first, last) {
  const drawer = drawerFor(fontstack);
  const stack = new Writer();
  stack.string(1, fontstack);
  stack.string(2, `${first}-${last}`);
  for (let id = Math.max(first, 32); id <= last; id++) {
    if (id >= 0xd800 && id <= 0xdfff) continue; // surrogates are not characters
    stack.bytesField(3, glyphMessage(id, drawer));
  }
  const file = new Writer();
  file.bytesField(1, stack.bytes);
  return new Uint8Array(file.bytes).buffer;
}

export function registerGlyphProtocol(maplibregl) {
  maplibregl.addProtocol(GLYPH_PROTOCOL, async (params) => {
    const match = /^[a-z-]+:\/\/([^/]+)\/(\d+)-(\d+)/.exec(params.url);
    if (!match) throw new Error(`Unknown glyph request ${params.url}`);
    const fontstack = decodeURIComponent(match[1]).split(',')[0];
    return { data: encodeGlyphRange(fontstack, Number(match[2]), Number(match[3])) };
  });
}
