'use strict';
// The page: the cut lengths, the command, the figures, the slice, the URL fragment
// (#cut=X,Y,Z&view=YAW,PITCH,ZOOM&slice=AXIS:K) and turning the view.

const DEFAULT_VIEW = { yaw: 45, pitch: 35.26, zoom: 1 };
const SLIDER_END = 601;
// Faces the view draws at the most; a particle showing more is drawn in coarser cells.
const FACE_BUDGET = 1000000;

const $ = (id) => document.getElementById(id);

// Slider position to length text and back: 0 is 0, +-1 is +-0.1, +-601 is +-100000, a hundred
// steps a decade.
function sliderText(s) {
  if (s === 0) return '0';
  const v = Math.pow(10, (Math.abs(s) - 1) / 100 - 1);
  return (s < 0 ? '-' : '') + String(Number(v.toPrecision(3)));
}

function sliderPosition(length) {
  if (Number.isNaN(length) || length === 0) return 0;
  const s = Math.round((Math.log10(Math.abs(length)) + 1) * 100 + 1);
  return Math.sign(length) * Math.min(SLIDER_END, Math.max(1, s));
}

// The text the command shows for a length: what was typed when it is a plain number, else a
// number that reads as the same length.
function lengthWord(text) {
  const t = text.trim();
  if (/^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/.test(t) || /^[+-]?(inf|infinity|nan)$/i.test(t)) return t;
  const v = cutLength(t);
  if (Number.isNaN(v)) return 'nan';
  if (!Number.isFinite(v)) return v > 0 ? 'inf' : '-inf';
  return Object.is(v, -0) ? '-0' : String(v);
}

// A word of the command that names exactly `text` pasted into sh, bash, zsh or fish; null when
// none can. Plain words stay as they are (not with a leading = or %, which zsh and old fish
// expand). Otherwise runs without ' and \ go in single quotes, and those two outside them after a
// backslash: inside single quotes fish reads a backslash before either as an escape, the others do
// not. A name with bytes that are no UTF-8 (here \udc80-\udcff, one a byte) is made by printf.
function shellWord(text) {
  if (/(?<![\ud800-\udbff])[\udc80-\udcff]/.test(text)) return printfWord(text);
  if (/^[A-Za-z0-9_.\/+,:@%=-]+$/.test(text) && !/^[=%]/.test(text)) return text;
  return quotedWord(text);
}

function quotedWord(text) {
  return text.split(/(['\\])/).filter((part) => part !== '')
    .map((part) => (part === "'" || part === '\\' ? '\\' + part : "'" + part + "'")).join('');
}

// "$(printf FORMAT)", each byte that is no UTF-8 an octal escape of the format. The substitution
// drops line breaks at the end, so such a name cannot end in one.
function printfWord(text) {
  if (text.endsWith('\n')) return null;
  let format = '';
  for (const ch of text) {
    const code = ch.codePointAt(0);
    if (code >= 0xdc80 && code <= 0xdcff) format += '\\' + (code - 0xdc00).toString(8);
    else if (ch === '%') format += '%%';
    else if (ch === '\\') format += '\\\\';
    else format += ch;
  }
  return '"$(printf ' + quotedWord(format) + ')"';
}

// The name as the page shows it: a byte that is no UTF-8 as \xHH, as tarvo-tools prints it.
function shownName(text) {
  return text.replace(/(?<![\ud800-\udbff])[\udc80-\udcff]/g, (ch) => '\\x' + (ch.charCodeAt(0) - 0xdc00).toString(16));
}

function outputName(input) {
  return (/\.3d$/i.test(input) ? input.slice(0, -3) : input) + '-cut.3d';
}

function readFragment() {
  const state = {};
  for (const part of location.hash.replace(/^#/, '').split('&')) {
    const eq = part.indexOf('=');
    if (eq > 0) state[part.slice(0, eq)] = part.slice(eq + 1);
  }
  const result = {};
  const decode = (text) => {
    try {
      return decodeURIComponent(text);
    } catch (e) {
      return text;
    }
  };
  const cut = (state.cut || '').split(',').map(decode);
  if (cut.length === 3) result.cut = cut;
  // The plane through a point, as tarvo-tools cut --normal takes it.
  const normal = (state.normal || '').split(',').map(decode);
  if (normal.length === 3) {
    const through = (state.through || '').split(',').map(decode);
    result.plane = { normal, through: through.length === 3 ? through : null, keepPlus: decode(state.keep || '') === '+' };
  }
  const view = (state.view || '').split(',').map(Number);
  if (view.length === 3 && view.every(Number.isFinite)) result.view = { yaw: view[0], pitch: view[1], zoom: view[2] };
  const slice = /^([xyz]):(\d+)$/.exec(state.slice || '');
  if (slice) result.slice = { axis: 'xyz'.indexOf(slice[1]), layer: Number(slice[2]) };
  return result;
}

// The view from the side a cut removes, as render --cut looks: along the plane's normal
// (1/X, 1/Y, 1/Z), where zero lengths (infinite terms) outweigh the others; null when no length
// says a side (all infinite or NaN).
function facingCut(lengths) {
  let n = lengths.map((l) => (Number.isNaN(l) ? 0 : 1 / l));
  if (n.some((c) => !Number.isFinite(c))) n = n.map((c) => (Number.isFinite(c) ? 0 : Math.sign(c)));
  const r = Math.hypot(n[0], n[1], n[2]);
  if (!(r > 0)) return null;
  const deg = 180 / Math.PI;
  return { yaw: Math.atan2(n[1], n[0]) * deg, pitch: Math.asin(n[2] / r) * deg, zoom: 1 };
}

// The view from the side a plane through a point removes: along its normal, or against it when
// the + side is kept.
function facingPlane(plane) {
  const n = plane.normal.map(Number).map((c) => (plane.keepPlus ? -c : c));
  const r = Math.hypot(n[0], n[1], n[2]);
  if (!(r > 0) || !Number.isFinite(r)) return null;
  const deg = 180 / Math.PI;
  return { yaw: Math.atan2(n[1], n[0]) * deg, pitch: Math.asin(n[2] / r) * deg, zoom: 1 };
}

function writeFragment(texts, view, slice, plane) {
  const round = (v) => String(Math.round(v * 100) / 100);
  const planePart = plane ? 'normal=' + plane.normal.map(encodeURIComponent).join(',') +
    (plane.through ? '&through=' + plane.through.map(encodeURIComponent).join(',') : '') +
    (plane.keepPlus ? '&keep=+' : '') : '';
  const hash = '#' + (plane ? planePart : 'cut=' + texts.map(encodeURIComponent).join(',')) +
    '&view=' + [view.yaw, view.pitch, view.zoom].map(round).join(',') +
    '&slice=' + 'xyz'[slice.axis] + ':' + slice.layer;
  history.replaceState(null, '', hash);
}

// Figures in the file's voxels: a reduced page shows the blocks' extent.
function showFigures(prefix, f, particle) {
  const b = particle.block;
  const d = particle.dim;
  const approx = b > 1 ? '≈ ' : '';
  $(prefix + '-count').textContent = String(f.count);
  if (f.count === 0) {
    $(prefix + '-box').textContent = 'empty';
  } else {
    const range = (a) => 'xyz'[a] + ' ' + f.min[a] * b + '–' + Math.min(d - 1, f.max[a] * b + b - 1);
    $(prefix + '-box').textContent = approx + [0, 1, 2].map(range).join(', ');
  }
  const centre = f.count === 0 || b === 1 ? f.centre
    : [0, 1, 2].map((a) => Math.trunc((f.min[a] * b + Math.min(d - 1, f.max[a] * b + b - 1)) / 2));
  $(prefix + '-centre').textContent = approx + '(' + centre.join(', ') + ')';
}

function showFileFigures(file) {
  $('file-figures').hidden = false;
  $('file-count').textContent = String(file.count);
  $('file-box').textContent = file.count === 0 ? 'empty'
    : [0, 1, 2].map((a) => 'xyz'[a] + ' ' + file.min[a] + '–' + file.max[a]).join(', ');
  $('file-centre').textContent = '(' + file.centre.join(', ') + ')';
}

// One layer across an axis: kept voxels in the material, removed ones in the cut colour,
// first axis to the right, second up (z: x, y; y: x, z; x: y, z).
function drawSlice(particle, axis, layer) {
  const m = particle.edge;
  const canvas = $('slice');
  canvas.width = Math.max(1, m);
  canvas.height = Math.max(1, m);
  if (m === 0) return;
  const context = canvas.getContext('2d');
  const image = context.createImageData(m, m);
  const dimmed = COLOURS.cutFace.map((c) => Math.round(c * 0.7));
  for (let row = 0; row < m; row++)
    for (let col = 0; col < m; col++) {
      const b = m - 1 - row;
      const [x, y, z] = axis === 2 ? [col, b, layer] : axis === 1 ? [col, layer, b] : [layer, col, b];
      const v = particle.volume[rowStart(m, y, z) + x];
      const c = v === KEPT ? COLOURS.material : v === REMOVED ? dimmed : COLOURS.sliceEmpty;
      image.data.set([c[0], c[1], c[2], 255], 4 * (row * m + col));
    }
  context.putImageData(image, 0, 0);
}

function main() {
  const started = performance.now();
  const info = JSON.parse($('particle').textContent);
  const particle = loadParticle(info);
  const m = particle.edge;
  const b = particle.block;
  const centre = b === 1 ? particle.before.centre : info.file.centre;

  $('name').textContent = shownName(info.input);
  $('about').textContent = 'Edge ' + info.dim + ', ' + (info.format === 'bits' ? 'embedded as a bitmap' : 'embedded as its run-length stream') + '.';
  if (b > 1) {
    $('reduced').hidden = false;
    $('reduced').textContent = 'Reduced for this page: edge ' + info.dim + ' became ' + m + '; each block of ' + b + '×' + b + '×' + b +
      ' voxels is shown as one, set where any of its voxels is set, and cut at its middle. The command acts on the whole particle; the figures marked ≈ are of blocks.';
    $('count-label').textContent = 'blocks';
    showFileFigures(info.file);
  }
  showFigures('before', particle.before, particle);

  const fragment = readFragment();
  const texts = fragment.cut || ['nan', 'nan', 'nan'];
  // A plane through a point (from the address only); typing a length returns to the three lengths.
  let plane = fragment.plane || null;
  const view = Object.assign({}, fragment.view || (plane ? facingPlane(plane) : facingCut(texts.map(cutLength))) ||
    DEFAULT_VIEW);
  const slice = fragment.slice || { axis: 2, layer: particle.before.count ? particle.before.centre[2] : 0 };
  // Held to the grid, however the address asks for it.
  const holdLayer = () => { slice.layer = Math.max(0, Math.min(m - 1, slice.layer)); };
  holdLayer();

  const canvas = $('view');
  let renderer = null;
  try {
    renderer = createRenderer(canvas, particle);
  } catch (e) {
    $('nogl').textContent = 'The 3D view failed to start: ' + e.message;
  }
  if (!renderer) {
    $('nogl').hidden = false;
    $('hint').hidden = true;
  }

  function showCommand() {
    if (plane) {
      const words = ['tarvo-tools', 'cut', info.input, outputName(info.input), '--normal'].concat(plane.normal,
        plane.through ? ['--through'].concat(plane.through) : [], plane.keepPlus ? ['--keep', '+'] : []);
      $('command').textContent = words.map(shellWord).join(' ');
      return;
    }
    const words = ['tarvo', shellWord(info.input), shellWord(outputName(info.input))]
      .concat(texts.map((t) => shellWord(lengthWord(t))));
    $('command').textContent = words.includes(null)
      ? 'No command can name this file: its name ends in a line break and holds bytes that are no UTF-8.'
      : words.join(' ');
  }

  // The plane's exact form, or the lengths' cut when the plane is no plane (said in the command).
  function cutParticle() {
    if (!plane) {
      applyCut(particle, centre, texts.map(cutLength));
      return;
    }
    const exact = integerPlane(plane.normal, plane.through || centre.map(String));
    if (exact) {
      applyPlane(particle, exact, plane.keepPlus);
    } else {
      plane = null;
      ['x', 'y', 'z'].forEach((a) => { if ($('len-' + a).showLength) $('len-' + a).showLength(); });
      applyCut(particle, centre, texts.map(cutLength));
    }
  }

  function showSlice() {
    const k = slice.layer;
    $('slice-layer').max = String(Math.max(0, m - 1));
    $('slice-layer').value = String(k);
    document.querySelector('input[name=slice-axis][value=' + 'xyz'[slice.axis] + ']').checked = true;
    const span = b > 1 ? (k * b) + '–' + Math.min(info.dim - 1, k * b + b - 1) : String(k);
    $('slice-label').textContent = 'xyz'[slice.axis] + ' = ' + span;
    drawSlice(particle, slice.axis, k);
  }

  // The faces to draw: of every voxel, or of coarser cells when there are too many.
  function showFaces() {
    let cell = 1;
    let mesh = exposedFaces(particle, FACE_BUDGET);
    while (!mesh) {
      cell *= 2;
      mesh = exposedFaces(coarsened(particle, cell), FACE_BUDGET);
    }
    $('coarse').hidden = cell === 1;
    $('coarse').textContent = 'The view draws cells of ' + cell + '×' + cell + '×' + cell +
      ' voxels: the cut particle shows more than ' + FACE_BUDGET.toLocaleString('en') +
      ' voxel faces, too many to turn smoothly. The figures and the slice use every voxel.';
    renderer.update(mesh, cell);
    return mesh.faces.length / 4;
  }

  let times = '';
  function recut() {
    const t0 = performance.now();
    cutParticle();
    const t1 = performance.now();
    showFigures('after', particle.after, particle);
    showCommand();
    showSlice();
    times = 'cut ' + Math.round(t1 - t0) + ' ms';
    if (renderer) {
      const faces = showFaces();
      times += ', ' + faces + ' faces in ' + Math.round(performance.now() - t1) + ' ms';
    }
  }

  let pending = false;
  function schedule(cutChanged) {
    if (cutChanged) pending = 'cut';
    else if (!pending) pending = 'view';
    requestAnimationFrame(() => {
      if (!pending) return;
      if (pending === 'cut') recut();
      pending = false;
      if (renderer) renderer.draw(view);
      writeFragment(texts, view, slice, plane);
    });
  }

  // The cut lengths. Touching one leaves the plane through a point: the others show their lengths again.
  const leavePlane = (touched) => {
    plane = null;
    ['x', 'y', 'z'].forEach((a, k) => { if (k !== touched) $('len-' + a).showLength(); });
  };
  ['x', 'y', 'z'].forEach((a, i) => {
    const field = $('len-' + a);
    const slider = $('slide-' + a);
    const warning = $('warn-' + a);
    // The preview keeps tarvo's reading of the text; the warning says what that reading was.
    const warn = () => {
      const whole = isWholeNumber(texts[i]);
      warning.hidden = whole;
      warning.textContent = whole ? '' : "'" + texts[i] + "' is not wholly a number: tarvo reads it as " +
        lengthWord(texts[i]) + ' (tarvo-tools and Python refuse it)';
    };
    // While a plane through a point cuts, the lengths are not in force: their fields stand empty.
    const show = () => {
      field.value = plane ? '' : texts[i];
      field.placeholder = plane ? 'plane' : '';
      slider.value = String(sliderPosition(cutLength(texts[i])));
      warn();
    };
    show();
    field.addEventListener('input', () => {
      if (plane) leavePlane(i);
      texts[i] = field.value;
      slider.value = String(sliderPosition(cutLength(texts[i])));
      warn();
      schedule(true);
    });
    slider.addEventListener('input', () => {
      if (plane) leavePlane(i);
      texts[i] = sliderText(Number(slider.value));
      field.value = texts[i];
      warn();
      schedule(true);
    });
    slider.addEventListener('dblclick', () => { if (plane) leavePlane(i); texts[i] = 'nan'; show(); schedule(true); });
    field.showLength = show;
  });
  const setAll = (values) => {
    plane = null;
    values.forEach((v, i) => { texts[i] = v; $('len-' + 'xyz'[i]).showLength(); });
    schedule(true);
  };
  $('preset-half').addEventListener('click', () => setAll(['1', '1', '99999']));
  $('preset-corner').addEventListener('click', () => setAll(['20', '20', '20']));
  $('preset-none').addEventListener('click', () => setAll(['nan', 'nan', 'nan']));

  $('copy').addEventListener('click', () => {
    const text = $('command').textContent;
    const done = () => { $('copy').textContent = 'Copied'; setTimeout(() => { $('copy').textContent = 'Copy'; }, 1500); };
    if (navigator.clipboard && window.isSecureContext) {
      navigator.clipboard.writeText(text).then(done, () => {});
    } else {
      const range = document.createRange();
      range.selectNodeContents($('command'));
      getSelection().removeAllRanges();
      getSelection().addRange(range);
      if (document.execCommand('copy')) done();
    }
  });

  // The plane through a point: its fields show the plane cut by, and cut by what they hold when
  // asked (the button, or Enter in a field), once they hold a plane.
  const planeFields = (name) => ['x', 'y', 'z'].map((a) => $(name + '-' + a));
  const showPlane = () => {
    if (!plane) return;
    planeFields('normal').forEach((f, i) => { f.value = plane.normal[i]; });
    planeFields('through').forEach((f, i) => { f.value = plane.through ? plane.through[i] : ''; });
    $('keep').value = plane.keepPlus ? '+' : '-';
  };
  // The fields' plane, or why they hold none.
  const fieldsPlane = () => {
    const normal = planeFields('normal').map((f) => f.value.trim());
    const through = planeFields('through').map((f) => f.value.trim());
    const given = through.filter((t) => t !== '').length;
    if (given !== 0 && given !== 3) return { why: 'Give the point\'s three coordinates, or none for the centre.' };
    const asked = { normal, through: given === 3 ? through : null, keepPlus: $('keep').value === '+' };
    if (!integerPlane(normal, asked.through || centre.map(String)))
      return { why: 'The normal and the point must be decimal numbers (1, -0.5, 2e3), the normal not all zero.' };
    return { plane: asked };
  };
  const cutByFields = () => {
    const f = fieldsPlane();
    $('plane-warn').hidden = !f.why;
    $('plane-warn').textContent = f.why || '';
    if (!f.plane) return;
    plane = f.plane;
    ['x', 'y', 'z'].forEach((a) => $('len-' + a).showLength());
    // At once rather than at the next frame, so that the figures and the command follow the click.
    recut();
    schedule(false);
    writeFragment(texts, view, slice, plane);
  };
  $('plane-cut').addEventListener('click', cutByFields);
  for (const f of planeFields('normal').concat(planeFields('through')))
    f.addEventListener('keydown', (e) => { if (e.key === 'Enter') cutByFields(); });
  $('keep').addEventListener('change', () => { if (plane) cutByFields(); });
  showPlane();

  // The slice.
  for (const radio of document.querySelectorAll('input[name=slice-axis]'))
    radio.addEventListener('change', () => { slice.axis = 'xyz'.indexOf(radio.value); showSlice(); schedule(false); });
  $('slice-layer').addEventListener('input', () => { slice.layer = Number($('slice-layer').value); showSlice(); schedule(false); });
  $('slice-legend').textContent = 'Light: kept; blue-grey: removed by the cut; dark: empty. ' +
    'z: x right, y up; y: x right, z up; x: y right, z up.';

  // Turning and zooming: one pointer turns, two pinch, the wheel zooms.
  const pointers = new Map();
  let pinch = 0;
  const spread = () => {
    const [p, q] = [...pointers.values()];
    return Math.hypot(p.x - q.x, p.y - q.y);
  };
  canvas.addEventListener('pointerdown', (e) => {
    canvas.setPointerCapture(e.pointerId);
    pointers.set(e.pointerId, { x: e.clientX, y: e.clientY });
    if (pointers.size === 2) pinch = spread();
  });
  canvas.addEventListener('pointermove', (e) => {
    const last = pointers.get(e.pointerId);
    if (!last) return;
    if (pointers.size === 1) {
      view.yaw -= (e.clientX - last.x) * 0.4;
      view.pitch = Math.max(-90, Math.min(90, view.pitch + (e.clientY - last.y) * 0.4));
    }
    pointers.set(e.pointerId, { x: e.clientX, y: e.clientY });
    if (pointers.size === 2) {
      const now = spread();
      if (pinch > 0) view.zoom = Math.max(0.2, Math.min(50, view.zoom * now / pinch));
      pinch = now;
    }
    schedule(false);
  });
  const release = (e) => { pointers.delete(e.pointerId); pinch = 0; };
  canvas.addEventListener('pointerup', release);
  canvas.addEventListener('pointercancel', release);
  canvas.addEventListener('wheel', (e) => {
    e.preventDefault();
    view.zoom = Math.max(0.2, Math.min(50, view.zoom * Math.exp(-e.deltaY * 0.002)));
    schedule(false);
  }, { passive: false });
  canvas.addEventListener('dblclick', () => { Object.assign(view, DEFAULT_VIEW); schedule(false); });
  window.addEventListener('resize', () => schedule(false));
  window.addEventListener('hashchange', () => {
    const f = readFragment();
    if (f.cut) setAll(f.cut);
    if (f.plane) {
      plane = f.plane;
      showPlane();
    }
    if (f.view) Object.assign(view, f.view);
    if (f.slice) {
      Object.assign(slice, f.slice);
      holdLayer();
    }
    schedule(true);
  });

  // The first picture is drawn before the page's load event, so a saved or printed page has it.
  const loaded = performance.now();
  recut();
  const drawn = performance.now();
  if (renderer) {
    renderer.draw(view);
    renderer.finish();
  }
  const ms = Math.round(performance.now() - started);
  $('status').textContent = 'Ready in ' + ms + ' ms (decoding ' + Math.round(loaded - started) + ' ms, ' + times +
    (renderer ? ', first picture ' + Math.round(performance.now() - drawn) + ' ms' : '') + ').';
  document.body.dataset.ready = String(ms);
}

main();
