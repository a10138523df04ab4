// The images and recipes of origin_double.js, which worker_test.js also
// reads to know what every download must hold: each image is IMAGE_SIZE
// bytes of a pattern; its recipe keeps the first KEEP and ends with a tail
// of TAIL_SIZE bytes of another pattern.

export const IMAGE_SIZE = 300000;
export const KEEP = IMAGE_SIZE - 512;
export const TAIL_SIZE = 600;
export const SECRET = "an-edge-secret-of-more-than-32-characters";
export const ETAG = '"bw1-0123456789abcdef"';
export const LAST_MODIFIED = "Wed, 15 Nov 2023 10:00:00 GMT";

export function pattern(length, seed) {
  const bytes = new Uint8Array(length);
  let x = seed;
  for (let i = 0; i < length; i++) {
    x = (x * 1103515245 + 12345) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}
export const IMAGE = pattern(IMAGE_SIZE, 1);
export const TAIL = pattern(TAIL_SIZE, 2);
