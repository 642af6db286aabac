// Buffer records of the message: base64 text of float32 arrays, decoded
// one after another into one Float32Array.

const B64 = new Uint8Array(256).fill(255);
"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
  .split("")
  .forEach((ch, i) => { B64[ch.charCodeAt(0)] = i; });

// Decodes standard base64 text into out[at ...]; returns the bytes written.
function decodeBase64Into(text, out, at) {
  let n = text.length;
  while (n > 0 && text.charCodeAt(n - 1) === 61) n--; // "=" padding
  let o = at;
  let acc = 0;
  let bits = 0;
  for (let i = 0; i < n; i++) {
    const v = B64[text.charCodeAt(i)];
    if (v === 255) throw new Error("invalid base64 text in buffer");
    acc = ((acc << 6) | v) & 0xffffff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[o++] = (acc >> bits) & 0xff;
    }
  }
  return o - at;
}

// Float count of a buffer record {"shape", "dtype", "buffer", "codec"}.
function recordLength(record, what) {
  if (!record || typeof record !== "object" || record.codec !== "b64" || record.dtype !== "float32") {
    throw new Error(what + " is not a base64 float32 buffer record");
  }
  const n = (Array.isArray(record.shape) ? record.shape : [0]).reduce((a, b) => a * b, 1);
  if (!Number.isInteger(n) || n < 0) throw new Error(what + " has a bad shape");
  return n;
}

// Decodes buffer records one after another into one Float32Array; returns
// [array, offsets] with offsets[k] the first float of record k.
async function decodeRecords(records, what, progress) {
  const offsets = new Int32Array(records.length + 1);
  for (let k = 0; k < records.length; k++) {
    offsets[k + 1] = offsets[k] + recordLength(records[k], what);
  }
  const floats = new Float32Array(offsets[records.length]);
  const bytes = new Uint8Array(floats.buffer);
  for (let k = 0; k < records.length; k++) {
    const written = decodeBase64Into(records[k].buffer || "", bytes, offsets[k] * 4);
    if (written !== (offsets[k + 1] - offsets[k]) * 4) {
      throw new Error(what + " " + k + ": buffer length does not match its shape");
    }
    if ((k & 1023) === 0) await progress(k / records.length);
  }
  return [floats, offsets];
}
