'use strict';
// The particle: the embedded voxels decoded into a padded volume, its figures, the plane cut as
// tarvo defines it (in double precision), and the exposed faces the view draws.
//
// The volume has two empty layers around the grid, so that neighbourhoods never need a bounds
// check. Its cells: EMPTY, KEPT, or REMOVED (set in the particle, cleared by the cut).

const EMPTY = 0;
const REMOVED = 1;
const KEPT = 2;
const PAD = 2;

// The index of voxel (0, y, z) in the padded volume of a grid of edge m.
function rowStart(m, y, z) {
  const P = m + 2 * PAD;
  return PAD + P * (y + PAD + P * (z + PAD));
}

function base64Bytes(text) {
  const chars = atob(text);
  const bytes = new Uint8Array(chars.length);
  for (let i = 0; i < chars.length; i++) bytes[i] = chars.charCodeAt(i);
  return bytes;
}

// The shape form stream: bytes 00-BF are one value each; a marker C0-FF repeats the next byte
// (marker & 3F) times, 0 counting as 1; bytes missing at the end read as FF. Values 1..127 are
// set voxels.
function decodeStream(bytes, count) {
  const flat = new Uint8Array(count);
  let i = 0;
  for (let k = 0; i < count && k < bytes.length;) {
    const b = bytes[k++];
    let n = 1;
    let value = b;
    if (b >= 0xC0) {
      n = (b & 0x3F) || 1;
      value = k < bytes.length ? bytes[k++] : 0xFF;
    }
    if (value >= 1 && value <= 127) flat.fill(1, i, Math.min(i + n, count));
    i += n;
  }
  return flat;
}

// Bit i % 8 of byte i / 8 is voxel i.
function decodeBits(bytes, count) {
  const flat = new Uint8Array(count);
  for (let i = 0; i < count; i++) flat[i] = (bytes[i >> 3] >> (i & 7)) & 1;
  return flat;
}

// info: the page's embedded description (see tools/view.cpp).
function loadParticle(info) {
  const m = info.edge;
  const P = m + 2 * PAD;
  const bytes = base64Bytes(info.data);
  const count = m * m * m;
  const flat = info.format === 'bits' ? decodeBits(bytes, count) : decodeStream(bytes, count);
  const volume = new Uint8Array(P * P * P);
  for (let z = 0; z < m; z++)
    for (let y = 0; y < m; y++) {
      const from = m * (y + m * z);
      volume.set(flat.subarray(from, from + m), rowStart(m, y, z));
    }
  const particle = { edge: m, dim: info.dim, block: info.block, volume, before: null, after: null };
  particle.before = measure(particle, (v) => v !== EMPTY);
  return particle;
}

// Count, bounding box and centre, as the library measures them: an empty particle has the
// minima at edge-1 and the maxima at 0; the centre is (min + max) / 2 rounded down.
function newFigures(m) {
  return { count: 0, min: [m - 1, m - 1, m - 1], max: [0, 0, 0], centre: [0, 0, 0] };
}

function addToFigures(f, x, y, z) {
  if (f.count++ === 0) {
    f.min = [x, y, z];
    f.max = [x, y, z];
    return;
  }
  if (x < f.min[0]) f.min[0] = x;
  if (x > f.max[0]) f.max[0] = x;
  if (y < f.min[1]) f.min[1] = y;
  if (y > f.max[1]) f.max[1] = y;
  if (z < f.min[2]) f.min[2] = z;
  if (z > f.max[2]) f.max[2] = z;
}

function finishFigures(f) {
  f.centre = [0, 1, 2].map((a) => Math.trunc((f.min[a] + f.max[a]) / 2));
  return f;
}

function measure(particle, isIn) {
  const m = particle.edge;
  const v = particle.volume;
  const f = newFigures(m);
  for (let z = 0; z < m; z++)
    for (let y = 0; y < m; y++) {
      const row = rowStart(m, y, z);
      for (let x = 0; x < m; x++)
        if (isIn(v[row + x])) addToFigures(f, x, y, z);
    }
  return finishFigures(f);
}

// A cut length from its text as C's atof reads it (the longest leading number; anything else
// is 0), then rounded to single precision, as tarvo does.
function cutLength(text) {
  const s = String(text).replace(/^\s+/, '');
  let m = /^([+-]?)(inf(inity)?|nan(\([0-9a-z_]*\))?)/i.exec(s);
  if (m) {
    const sign = m[1] === '-' ? -1 : 1;
    return /^n/i.test(m[2]) ? NaN : sign * Infinity;
  }
  m = /^([+-]?)0x([0-9a-f]*)(\.([0-9a-f]*))?(p([+-]?\d+))?/i.exec(s);
  if (m && (m[2] + (m[4] || '')).length > 0) {
    const digits = m[2] + (m[4] || '');
    let value = 0;
    for (const d of digits) value = value * 16 + parseInt(d, 16);
    const exponent = (m[6] ? parseInt(m[6], 10) : 0) - 4 * (m[4] || '').length;
    return Math.fround((m[1] === '-' ? -1 : 1) * value * Math.pow(2, exponent));
  }
  m = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?/.exec(s);
  if (!m) return 0;
  return Math.fround(Number(m[0]));
}

// Whether tarvo's reading takes in all of the text (C's strtod reads it to its end): a decimal
// with sign, fraction and exponent, inf, infinity or nan in any case, or a hexadecimal number.
// Any other text tarvo reads in part ('1,5' as 1, 'l' as 0): the page warns, as tarvo-tools refuses.
function isWholeNumber(text) {
  const s = String(text);
  return /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/.test(s) ||
    /^[+-]?(inf|infinity|nan(\([0-9a-z_]*\))?)$/i.test(s) ||
    /^[+-]?0x([0-9a-f]+\.?[0-9a-f]*|\.[0-9a-f]+)(p[+-]?\d+)?$/i.test(s);
}

// A decimal text exactly, as tarvo-tools cut --normal reads it: [digits as a BigInt with its
// sign, power of ten]; null for any other text.
function parseDecimal(text) {
  const m = /^([+-]?)(\d*)(?:\.(\d*))?(?:[eE]([+-]?\d+))?$/.exec(String(text));
  if (!m || (m[2] + (m[3] || '')).length === 0 || (m[2] + (m[3] || '')).length > 1000) return null;
  const exponent = (m[4] ? parseInt(m[4], 10) : 0) - (m[3] || '').length;
  if (Math.abs(exponent) > 2000) return null;
  const v = BigInt(m[2] + (m[3] || ''));
  return [m[1] === '-' ? -v : v, exponent];
}

const pow10 = (k) => 10n ** BigInt(k);

// n . (2p - 2c) as whole numbers: a positive multiple of n . (p - c), its sign decided exactly.
// Returns the coefficients [ax, ay, az] of 2p and the constant; null when a text is no decimal
// or the normal is zero.
function integerPlane(normalTexts, throughTexts) {
  const n = normalTexts.map(parseDecimal);
  const c = throughTexts.map(parseDecimal);
  if (n.some((d) => !d) || c.some((d) => !d) || n.every((d) => d[0] === 0n)) return null;
  const e = Math.min(...n.map((d) => d[1]));
  const f = Math.min(0, ...c.map((d) => d[1]));
  const a = n.map((d) => d[0] * pow10(d[1] - e) * pow10(-f));
  let constant = 0n;
  for (let k = 0; k < 3; k++) constant -= 2n * n[k][0] * pow10(n[k][1] - e) * c[k][0] * pow10(c[k][1] - f);
  return { a, constant };
}

// Marks every set voxel KEPT or REMOVED by the plane through a point: removed on the + side of
// n . (p - c) (keepPlus false) or the - side, decided exactly, as tarvo-tools cut --normal does.
// A reduced voxel stands at the middle of its block.
function applyPlane(particle, plane, keepPlus) {
  const m = particle.edge;
  const v = particle.volume;
  const b = BigInt(particle.block);
  const twice = (k) => 2n * b * BigInt(k) + b - 1n;  // twice the block's middle
  const after = newFigures(m);
  const ax = [];
  for (let x = 0; x < m; x++) ax.push(plane.a[0] * twice(x));
  for (let z = 0; z < m; z++)
    for (let y = 0; y < m; y++) {
      const row = rowStart(m, y, z);
      const base = plane.a[1] * twice(y) + plane.a[2] * twice(z) + plane.constant;
      for (let x = 0; x < m; x++) {
        if (v[row + x] === EMPTY) continue;
        const f = ax[x] + base;
        if (keepPlus ? f < 0n : f > 0n) {
          v[row + x] = REMOVED;
        } else {
          v[row + x] = KEPT;
          addToFigures(after, x, y, z);
        }
      }
    }
  particle.after = finishFigures(after);
}

// The plane term of every layer along one axis: the layer's offset from the centre over the
// length. A reduced layer stands at the middle of its block, in the file's voxels.
function planeTerms(particle, centre, length) {
  const b = particle.block;
  const terms = new Float64Array(particle.edge);
  for (let k = 0; k < terms.length; k++) terms[k] = (b * k + (b - 1) / 2 - centre) / length;
  return terms;
}

// Marks every set voxel KEPT or REMOVED: removed when ((x-cx)/X + (y-cy)/Y) + (z-cz)/Z > 1,
// summed in double (tarvo sums in extended precision). Zero lengths give infinities and NaN as
// IEEE arithmetic does; a NaN sum is never beyond the plane.
function applyCut(particle, centre, lengths) {
  const m = particle.edge;
  const v = particle.volume;
  const [tx, ty, tz] = [0, 1, 2].map((a) => planeTerms(particle, centre[a], lengths[a]));
  const after = newFigures(m);
  for (let z = 0; z < m; z++)
    for (let y = 0; y < m; y++) {
      const row = rowStart(m, y, z);
      const tyz = ty[y];
      const t = tz[z];
      for (let x = 0; x < m; x++) {
        if (v[row + x] === EMPTY) continue;
        if ((tx[x] + tyz) + t > 1) {
          v[row + x] = REMOVED;
        } else {
          v[row + x] = KEPT;
          addToFigures(after, x, y, z);
        }
      }
    }
  particle.after = finishFigures(after);
}

// The neighbourhood that smooths a voxel's normal, as render's but smaller (radius sqrt(5)):
// steps in the padded volume and the offsets they stand for.
function neighbourhood(m) {
  const P = m + 2 * PAD;
  const steps = [];
  const offsets = [];
  for (let dz = -2; dz <= 2; dz++)
    for (let dy = -2; dy <= 2; dy++)
      for (let dx = -2; dx <= 2; dx++)
        if (dx * dx + dy * dy + dz * dz <= 5) {
          steps.push(dx + P * (dy + P * dz));
          offsets.push(dx, dy, dz);
        }
  return { steps, offsets };
}

// The faces of kept voxels that border no kept voxel. faces: four 16-bit numbers each, x, y, z
// and the side (0..5 for -x, +x, -y, +y, -z, +z), plus 8 when the neighbour was removed by the
// cut. shading: four signed bytes each, the voxel's smoothed normal (pointing away from the kept
// voxels around it) and the kept share of its neighbourhood (times 127). Null when there are
// more than `limit` faces.
function exposedFaces(particle, limit) {
  const m = particle.edge;
  const P = m + 2 * PAD;
  const v = particle.volume;
  const sides = [-1, 1, -P, P, -P * P, P * P];
  const near = neighbourhood(m);
  let faces = new Uint16Array(1 << 16);
  let shading = new Int8Array(1 << 16);
  let n = 0;
  for (let z = 0; z < m; z++)
    for (let y = 0; y < m; y++) {
      const row = rowStart(m, y, z);
      for (let x = 0; x < m; x++) {
        const i = row + x;
        if (v[i] !== KEPT) continue;
        let normal = null;
        for (let side = 0; side < 6; side++) {
          const beside = v[i + sides[side]];
          if (beside === KEPT) continue;
          if (normal === null) normal = smoothedNormal(v, i, near);
          if (n >= 4 * limit) return null;
          if (n + 4 > faces.length) {
            const grownFaces = new Uint16Array(faces.length * 2);
            grownFaces.set(faces);
            faces = grownFaces;
            const grownShading = new Int8Array(shading.length * 2);
            grownShading.set(shading);
            shading = grownShading;
          }
          faces[n] = x;
          faces[n + 1] = y;
          faces[n + 2] = z;
          faces[n + 3] = side | (beside === REMOVED ? 8 : 0);
          shading.set(normal, n);
          n += 4;
        }
      }
    }
  return { faces: faces.subarray(0, n), shading: shading.subarray(0, n) };
}

function smoothedNormal(v, i, near) {
  let ax = 0, ay = 0, az = 0, kept = 0;
  for (let k = 0; k < near.steps.length; k++) {
    if (v[i + near.steps[k]] !== KEPT) continue;
    kept++;
    ax -= near.offsets[3 * k];
    ay -= near.offsets[3 * k + 1];
    az -= near.offsets[3 * k + 2];
  }
  const length = Math.hypot(ax, ay, az) || 1;
  const scale = 127 / length;
  return [Math.round(ax * scale), Math.round(ay * scale), Math.round(az * scale),
    Math.round(127 * kept / near.steps.length)];
}

// A coarser volume for drawing: a cell of f x f x f voxels is KEPT where any of them is kept,
// else REMOVED where any of them was removed.
function coarsened(particle, f) {
  const m = particle.edge;
  const c = Math.ceil(m / f);
  const coarse = { edge: c, volume: new Uint8Array((c + 2 * PAD) ** 3) };
  const v = particle.volume;
  const to = coarse.volume;
  for (let z = 0; z < m; z++)
    for (let y = 0; y < m; y++) {
      const row = rowStart(m, y, z);
      const cellRow = rowStart(c, Math.floor(y / f), Math.floor(z / f));
      for (let x = 0; x < m; x++) {
        const cell = cellRow + Math.floor(x / f);
        if (v[row + x] > to[cell]) to[cell] = v[row + x];
      }
    }
  return coarse;
}
