// The programs that draw the parts: the picture and the id buffer share one
// vertex shader that places a part's mesh at its placements.

// Placements per uniform buffer chunk (chunk); chunks start at offsets that
// are multiples of align placements.
function placementChunk(gl) {
  const align = Math.max(1, gl.getParameter(gl.UNIFORM_BUFFER_OFFSET_ALIGNMENT) / 32);
  const chunk = Math.floor(Math.min(gl.getParameter(gl.MAX_UNIFORM_BLOCK_SIZE), 65536) / 32 / align) * align;
  return { align, chunk };
}

// A part is drawn with instanced calls.  Its placements (a, b, tx, c,
// d, ty, placement number, 0 each) sit in a uniform buffer, two vec4 per
// placement, bound a chunk at a time; instance i of a part with batch size
// B draws the placements i*B .. i*B + B - 1 of the chunk, one per copy of
// the part's mesh (copy number in aPos.w), and drops copies past the last
// one.  The same vertex shader feeds the picture and the id buffer.
const BOX_ROW = 2048; // polygon boxes per row of their texture

function vertexShader(chunk) {
  return `#version 300 es
  layout(location = 0) in vec4 aPos;   // x, y, level (0 bottom, 1 top), copy number
  layout(location = 1) in uint aRef;   // pool polygon
  layout(std140) uniform Placements { vec4 uM[${2 * chunk}]; };
  uniform ivec2 uBatch;                // batch size, placements in the chunk
  uniform mat4 uViewProj;
  uniform vec4 uPlace;                 // x, y offset, z bottom, height (z scaled)
  uniform ivec2 uHot;                  // placement and polygon highlighted, or -1
  uniform highp sampler2D uBoxes;      // each pool polygon's box x0, y0, x1, y1, ${BOX_ROW} a row
  uniform vec2 uViewport;              // the target's size in pixels
  out vec3 vWorld;
  flat out uint vPlacement;
  flat out uint vRef;
  flat out int vHot;                   // 2: the picked shape, 1: its cell, 0: neither
  void main() {
    int j = gl_InstanceID * uBatch.x + int(aPos.w);
    vPlacement = 0u;
    vRef = aRef;
    vHot = 0;
    if (j >= uBatch.y) {
      vWorld = vec3(0.0);
      gl_Position = vec4(0.0, 0.0, 2.0, 1.0);  // outside the clip volume
      return;
    }
    vec4 m0 = uM[2 * j];      // a, b, tx, c
    vec4 m1 = uM[2 * j + 1];  // d, ty, placement number
    mat2 turn = mat2(m0.x, m0.w, m0.y, m1.x);
    vec2 shift = vec2(m0.z + uPlace.x, m1.y + uPlace.y);
    vec4 world = vec4(turn * aPos.xy + shift, uPlace.z + aPos.z * uPlace.w, 1.0);
    int placement = int(m1.z);
    vPlacement = uint(placement);
    if (placement == uHot.x) vHot = int(aRef) == uHot.y ? 2 : 1;
    vWorld = world.xyz;
    gl_Position = uViewProj * world;
    // A polygon narrower than a pixel on screen grows about its box centre
    // to a pixel in that direction (the view is orthographic: w is 1), so
    // that small shapes stay visible when zoomed out.
    vec4 box = texelFetch(uBoxes, ivec2(int(aRef) % ${BOX_ROW}, int(aRef) / ${BOX_ROW}), 0);
    vec2 mid = 0.5 * (box.xy + box.zw), size = 0.5 * (box.zw - box.xy);
    vec2 px = 0.5 * uViewport;
    vec2 ax = (uViewProj * vec4(turn * vec2(size.x, 0.0), 0.0, 0.0)).xy * px;
    vec2 ay = (uViewProj * vec4(turn * vec2(0.0, size.y), 0.0, 0.0)).xy * px;
    vec2 reach = abs(ax) + abs(ay);
    if (reach.x < 0.5 || reach.y < 0.5) {
      vec4 centre = uViewProj * vec4(turn * mid + shift, world.z, 1.0);
      vec2 grow = max(vec2(1.0), 0.5 / max(reach, vec2(1e-9)));
      gl_Position.xy = centre.xy + (gl_Position.xy - centre.xy) * grow;
    }
  }`;
}

// Flat shading with a head light: the face normal from screen-space
// derivatives of the position, against the viewing direction, so faces
// square to the view show their colour exactly, whatever the placement.
// Beyond the cross-section plane nothing is drawn; the back faces seen
// through the cut are the cut faces, hatched.
const FRAGMENT_SHADER = `#version 300 es
  precision highp float;
  in vec3 vWorld;
  flat in int vHot;
  uniform vec3 uColor;
  uniform float uAlpha;
  uniform vec3 uEye;                   // unit vector towards the eye
  uniform vec3 uHighlight;             // the picked shape's colour, one no layer has
  uniform vec4 uClip;                  // drop dot(uClip.xyz, world) > uClip.w
  out vec4 outColor;
  void main() {
    vec3 n = cross(dFdx(vWorld), dFdy(vWorld));
    if (dot(uClip.xyz, vWorld) > uClip.w) discard;
    vec3 base = vHot == 2 ? mix(uColor, uHighlight, 0.8) : vHot == 1 ? mix(uColor, vec3(1.0), 0.45) : uColor;
    if (!gl_FrontFacing) {
      float stripe = mod(gl_FragCoord.x + gl_FragCoord.y, 8.0) < 4.0 ? 0.42 : 0.78;
      outColor = vec4(base * stripe, uAlpha);
      return;
    }
    float len = length(n);
    float facing = len > 0.0 ? abs(dot(n, uEye)) / len : 1.0;
    outColor = vec4(base * (0.35 + 0.65 * facing), uAlpha);
  }`;

// The id buffer: part + 1 (0 is nothing), placement, polygon and depth.
const PICK_SHADER = `#version 300 es
  precision highp float;
  precision highp int;
  in vec3 vWorld;
  flat in uint vPlacement;
  flat in uint vRef;
  uniform vec4 uClip;
  uniform uint uPart;
  out uvec4 outId;
  void main() {
    if (dot(uClip.xyz, vWorld) > uClip.w) discard;
    outId = uvec4(uPart + 1u, vPlacement, vRef, floatBitsToUint(gl_FragCoord.z));
  }`;

// Starts compiling and linking; the browser does it while the page
// prepares the geometry, and checkProgram waits for the result.
function program(gl, vertexSource, fragmentSource) {
  const p = gl.createProgram();
  const shaders = [[gl.VERTEX_SHADER, vertexSource], [gl.FRAGMENT_SHADER, fragmentSource]].map(([type, source]) => {
    const shader = gl.createShader(type);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    gl.attachShader(p, shader);
    return shader;
  });
  gl.linkProgram(p);
  gl.flush();
  return { program: p, shaders };
}

function checkProgram(gl, { program: p, shaders }) {
  if (gl.getProgramParameter(p, gl.LINK_STATUS)) return p;
  for (const shader of shaders) {
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error("shader: " + gl.getShaderInfoLog(shader));
  }
  throw new Error("program: " + gl.getProgramInfoLog(p));
}

// Starts compiling both programs for placement chunks of `chunk`.
function startPrograms(gl, chunk) {
  const vertexSource = vertexShader(chunk);
  return { picture: program(gl, vertexSource, FRAGMENT_SHADER), ids: program(gl, vertexSource, PICK_SHADER) };
}
