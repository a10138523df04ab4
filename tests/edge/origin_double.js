// A double of the origin's two edge requests, for worker_test.js: it answers
// /edge/recipe/ and /edge/image/ as the module does for well-behaved images,
// and misbehaves on purpose for the images named in MISCHIEF, which the real
// origin and cache cannot be made to do on cue (an image replaced between
// the edge's two requests, a body cut or short, a cache that ignores Range).
// It keeps a log of the requests it saw, which the tests read and clear
// through /log.
//
// Its images and recipes are origin_fixture.js's.

import { ETAG, IMAGE, IMAGE_SIZE, KEEP, LAST_MODIFIED, SECRET, TAIL, TAIL_SIZE } from "./origin_fixture.js";

const image = IMAGE;
const tail = TAIL;

let log = [];
let recipesOfChanging = 0;

function recipe(name) {
  if (name === "Broken.dmg") return new Response("refused", { status: 500 });
  if (name === "None.dmg") return new Response("not found", { status: 404 });
  let version = "1700000000.000000000-300000";
  if (name === "Changing.dmg") version = recipesOfChanging++ === 0 ? "old" : "new";
  const size = name === "Bad-recipe.dmg" ? KEEP + TAIL_SIZE + 1 : KEEP + TAIL_SIZE;
  return new Response(tail, {
    headers: {
      "Cache-Control": "no-store",
      ETag: ETAG,
      "Last-Modified": LAST_MODIFIED,
      "Content-Disposition": `attachment; filename="${name}"`,
      "Brackwell-Keep": String(KEEP),
      "Brackwell-Size": String(size),
      "Brackwell-Image-Version": version,
    },
  });
}

// The image's answer: with a Content-Length, as nginx sends it, except for
// the images whose names say "Unframed", whose length is left unsaid (as a
// chunked answer's).
function imageAnswer(name, version, range) {
  if (name === "Unsettled.dmg" || (name === "Changing.dmg" && version !== "new")) {
    return new Response("another version", { status: 412 });
  }
  const framed = !name.includes("Unframed");
  const m = /^bytes=([0-9]+)-([0-9]+)$/.exec(range ?? "");
  if (name === "Whole.dmg" || !m) {
    return new Response(image, { headers: { "Content-Length": String(IMAGE_SIZE) } });
  }
  const first = Number(m[1]);
  const last = Math.min(Number(m[2]), IMAGE_SIZE - 1);
  const headers = { "Content-Range": `bytes ${first}-${last}/${IMAGE_SIZE}` };
  if (name === "Wrong-range.dmg") {
    headers["Content-Range"] = `bytes ${first + 1}-${last + 1}/${IMAGE_SIZE}`;
  }
  const bytes = image.subarray(first, last + 1);
  if (framed) headers["Content-Length"] = String(bytes.length);
  if (name === "Short-Unframed.dmg") {
    // Half the bytes, and a clean end: the range promised, not delivered.
    return new Response(bytes.subarray(0, bytes.length >> 1), { status: 206, headers });
  }
  if (name.startsWith("Cut")) {
    // Half the bytes, then the stream fails: a connection lost part-way.
    const { readable, writable } = new TransformStream();
    const writer = writable.getWriter();
    writer
      .write(bytes.subarray(0, bytes.length >> 1))
      .then(() => writer.abort(new Error("connection lost")))
      .catch(() => {});
    return new Response(readable, { status: 206, headers });
  }
  const body = name.includes("Unframed") ? new Response(bytes).body.pipeThrough(new TransformStream()) : bytes;
  return new Response(body, { status: 206, headers });
}

export default {
  async fetch(request) {
    const url = new URL(request.url);
    if (url.pathname === "/log") {
      const seen = log;
      log = [];
      recipesOfChanging = 0;
      return Response.json(seen);
    }
    log.push({ path: url.pathname, range: request.headers.get("range") });
    if (request.headers.get("brackwell-edge-secret") !== SECRET) return new Response("no", { status: 403 });
    let m = /^\/edge\/recipe\/download\/([^/]+)\/([^/]+)$/.exec(url.pathname);
    if (m) return recipe(m[1]);
    m = /^\/edge\/image\/([^/]+)$/.exec(url.pathname);
    if (m) return imageAnswer(m[1], url.searchParams.get("v"), request.headers.get("range"));
    return new Response("not found", { status: 404 });
  },
};
