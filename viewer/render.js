'use strict';
// The 3D view (WebGL2): every exposed voxel face is two triangles, six vertices that fetch the
// face from a texture (instanced drawing is far slower in software renderers), shaded
// as tarvo-tools render shades a voxel: a normal smoothed over the voxel's neighbourhood (from
// particle.js), a key light from the upper left plus a light from the viewer, darker in hollows
// and with depth.

// The colours, in one place: the particle as render draws it, and the face the cut opens.
const COLOURS = {
  background: [246, 246, 246],
  material: [222, 190, 140],
  cutFace: [120, 160, 215],  // as render --cut draws it (tools/picture.h kCutFace)
  sliceEmpty: [28, 28, 34],
};

// The kept share of a flat surface's neighbourhood here (39 of 57) against render's larger
// neighbourhood (92 of 147), so that flat surfaces come out as bright as there.
const FILL_NEUTRAL = 0.55 + (39 / 57 - 92 / 147);

const ROW = 4096;  // faces a row of the face textures

const VERTEX_SHADER = `#version 300 es
uniform highp usampler2D faces;  // x, y, z, side (0..5: -x +x -y +y -z +z) + 8 on a cut face
uniform highp sampler2D shades;  // the voxel's smoothed normal and the kept share of its neighbourhood
uniform vec3 middle;    // the middle of the frame
uniform vec3 right, up, eye;  // the camera: eye points from the particle to the viewer
uniform float cell;     // voxels a drawn cell spans
uniform vec2 scale;     // clip units per voxel across and up
uniform float reach;    // depths lie within +-reach voxels
uniform vec3 material, cutFace;
out float depth;        // -1 nearest, 1 farthest
flat out vec3 colour;
void main() {
  int index = gl_VertexID / 6;
  ivec2 at = ivec2(index % ${ROW}, index / ${ROW});
  uvec4 face = texelFetch(faces, at, 0);
  vec4 shading = texelFetch(shades, at, 0);
  int side = int(face.w & 7u);
  int axis = side >> 1;
  bool plus = (side & 1) == 1;
  int k = (0x312210 >> (4 * (gl_VertexID % 6))) & 3;  // corners 0 1 2, 2 1 3 of the strip order
  vec2 corner = vec2(float(k & 1), float(k >> 1));
  if (!plus) corner = corner.yx;  // counter-clockwise seen from outside
  vec3 p = vec3(face.xyz);
  p[axis] += plus ? 1.0 : 0.0;
  p[(axis + 1) % 3] += corner.x;
  p[(axis + 2) % 3] += corner.y;
  vec3 r = p * cell - middle;
  depth = -dot(r, eye) / reach;
  gl_Position = vec4(dot(r, right) * scale.x, dot(r, up) * scale.y, depth, 1.0);

  vec3 faceNormal = vec3(0.0);
  faceNormal[axis] = plus ? 1.0 : -1.0;
  vec3 smoothed = dot(shading.xyz, shading.xyz) > 0.01 ? normalize(shading.xyz) : faceNormal;
  vec3 normal = normalize(0.9 * smoothed + 0.1 * faceNormal);
  vec3 light = normalize(eye + 0.3 * up - 0.3 * right);
  float level = 0.3 + 0.45 * max(0.0, dot(normal, light)) + 0.3 * max(0.0, dot(normal, eye));
  level *= clamp(1.0 - (shading.w - ${FILL_NEUTRAL.toFixed(4)}), 0.6, 1.1);
  colour = (face.w >= 8u ? cutFace : material) / 255.0 * level;
}`;

const FRAGMENT_SHADER = `#version 300 es
precision highp float;
in float depth;
flat in vec3 colour;
out vec4 pixel;
void main() {
  pixel = vec4(colour * (1.0 - 0.25 * (depth + 1.0) / 2.0), 1.0);
}`;

function compileProgram(gl) {
  const program = gl.createProgram();
  for (const [type, source] of [[gl.VERTEX_SHADER, VERTEX_SHADER], [gl.FRAGMENT_SHADER, FRAGMENT_SHADER]]) {
    const shader = gl.createShader(type);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
    gl.attachShader(program, shader);
  }
  gl.linkProgram(program);
  if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
  return program;
}

// The camera of a view {yaw, pitch, zoom} (degrees; yaw 45, pitch 35.26 looks from the corner
// of largest x, y and z, as render's iso view): unit vectors right, up, eye, with z up.
function cameraOf(view) {
  const yaw = view.yaw * Math.PI / 180;
  const pitch = view.pitch * Math.PI / 180;
  const eye = [Math.cos(pitch) * Math.cos(yaw), Math.cos(pitch) * Math.sin(yaw), Math.sin(pitch)];
  const right = [-Math.sin(yaw), Math.cos(yaw), 0];
  const up = [eye[1] * right[2] - eye[2] * right[1], eye[2] * right[0] - eye[0] * right[2],
    eye[0] * right[1] - eye[1] * right[0]];
  return { right, up, eye };
}

// Returns null when the browser has no WebGL2.
function createRenderer(canvas, particle) {
  const gl = canvas.getContext('webgl2', { antialias: true });
  if (!gl) return null;
  const program = compileProgram(gl);
  const m = particle.edge;
  const u = (name) => gl.getUniformLocation(program, name);

  const vao = gl.createVertexArray();
  const faceTexture = gl.createTexture();
  const shadeTexture = gl.createTexture();
  for (const texture of [faceTexture, shadeTexture]) {
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
  }
  let faceCount = 0;
  let cellEdge = 1;

  // The frame: the smallest cube around the grid's middle that holds the particle, so that
  // views before and after a cut line up, and any turn of it fits the window.
  const before = particle.before;
  let half = m / 2;
  if (before.count > 0) {
    half = 0;
    for (let a = 0; a < 3; a++)
      half = Math.max(half, Math.abs(before.min[a] - m / 2), Math.abs(before.max[a] + 1 - m / 2));
  }
  const reach = Math.max(1, half * Math.sqrt(3) + 1);

  return {
    // After every cut: the exposed faces of the kept voxels or cells of cell^3 voxels (particle.js).
    update(mesh, cell) {
      faceCount = mesh.faces.length / 4;
      cellEdge = cell;
      const rows = Math.max(1, Math.ceil(faceCount / ROW));
      const upload = (texture, format, type, data, Kind) => {
        const full = new Kind(rows * ROW * 4);
        full.set(data);
        gl.bindTexture(gl.TEXTURE_2D, texture);
        gl.texImage2D(gl.TEXTURE_2D, 0, format, ROW, rows, 0, type === gl.UNSIGNED_SHORT ? gl.RGBA_INTEGER : gl.RGBA, type, full);
      };
      upload(faceTexture, gl.RGBA16UI, gl.UNSIGNED_SHORT, mesh.faces, Uint16Array);
      upload(shadeTexture, gl.RGBA8_SNORM, gl.BYTE, mesh.shading, Int8Array);
    },
    draw(view) {
      const width = Math.max(1, Math.round(canvas.clientWidth * devicePixelRatio));
      const height = Math.max(1, Math.round(canvas.clientHeight * devicePixelRatio));
      if (canvas.width !== width || canvas.height !== height) {
        canvas.width = width;
        canvas.height = height;
      }
      gl.viewport(0, 0, width, height);
      const bg = COLOURS.background;
      gl.clearColor(bg[0] / 255, bg[1] / 255, bg[2] / 255, 1);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      if (faceCount === 0) return;
      gl.enable(gl.DEPTH_TEST);
      gl.enable(gl.CULL_FACE);
      gl.useProgram(program);
      const camera = cameraOf(view);
      const fit = 0.94 / (half * Math.sqrt(3)) * view.zoom;  // clip units per voxel, short side
      const short = Math.min(width, height);
      gl.uniform3f(u('middle'), m / 2, m / 2, m / 2);
      gl.uniform3fv(u('right'), camera.right);
      gl.uniform3fv(u('up'), camera.up);
      gl.uniform3fv(u('eye'), camera.eye);
      gl.uniform2f(u('scale'), fit * short / width, fit * short / height);
      gl.uniform1f(u('reach'), reach);
      gl.uniform1f(u('cell'), cellEdge);
      gl.uniform3fv(u('material'), COLOURS.material);
      gl.uniform3fv(u('cutFace'), COLOURS.cutFace);
      gl.uniform1i(u('faces'), 0);
      gl.uniform1i(u('shades'), 1);
      gl.activeTexture(gl.TEXTURE0);
      gl.bindTexture(gl.TEXTURE_2D, faceTexture);
      gl.activeTexture(gl.TEXTURE1);
      gl.bindTexture(gl.TEXTURE_2D, shadeTexture);
      gl.bindVertexArray(vao);
      gl.drawArrays(gl.TRIANGLES, 0, 6 * faceCount);
    },
    // Waits until the picture is drawn (for the timing of the first one).
    finish() {
      gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
    },
  };
}
