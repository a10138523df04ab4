// The edge of the download server: a Worker that answers
//
//   GET and HEAD /download/<image>/<customer>?expires=E&signature=S
//
// with the stamped image, as the origin's nginx module would, while the
// origin sends only the tail. Per download:
//
//   1. The link is checked here (download.js), before anything reaches the
//      origin: 403 for a missing, malformed, wrong or expired one.
//   2. GET ORIGIN/edge/recipe/download/<image>/<customer>?expires=E&signature=S
//      (the customer's request target behind /edge/recipe) asks the origin
//      for the recipe: KEEP, the size, the validator, the image's version
//      and the tail's bytes (a few hundred; never cached).
//   3. The status and headers follow from the recipe and the request's
//      Range and conditions. Only when the answer's bytes reach into
//      [0, KEEP) is the image asked for, and only those bytes of it:
//      GET ORIGIN/edge/image/<image>?v=<version> with a Range, through the
//      cache, which holds the image once for every customer.
//   4. The body is those image bytes, then the tail's, through a
//      FixedLengthStream: the Content-Length is exact, and a body that cannot
//      be completed (the image ended early, the cache failed) ends short,
//      which every client reports as an error. No byte is ever out of place.
//
// Both requests to the origin carry the edge's secret in
// Brackwell-Edge-Secret; the origin checks it and the link again. Should the
// image change between the two requests (its version no longer the current
// one), the origin answers 412 to the second and the edge starts again from
// the recipe, before any header has gone to the customer.
//
// Settings (workerd bindings, or the CDN's variables and secrets):
//   ORIGIN       the origin's base URL, e.g. https://origin.example.com
//   LINK_KEY     the origin's link.key, base64-encoded (a secret)
//   EDGE_SECRET  the origin's edge.secret, its text (a secret)

import {
  imageRangeProblem,
  importLinkKey,
  linkRefusal,
  parseTarget,
  planAnswer,
  readRecipe,
  splitBytes,
  targetOf,
} from "./download.js";

const SECRET_HEADER = "Brackwell-Edge-Secret";
// A new image version between the recipe and the image request sends the
// edge back to the recipe; more changes than this in a row give up with 503.
const RECIPE_ATTEMPTS = 3;
// How long the CDN's cache may keep an image's bytes: they never change
// under their URL, which names the image's version.
const IMAGE_CACHE_SECONDS = 365 * 24 * 3600;

const REASONS = {
  403: "Forbidden",
  404: "Not Found",
  405: "Not Allowed",
  412: "Precondition Failed",
  416: "Requested Range Not Satisfiable",
  500: "Internal Server Error",
  502: "Bad Gateway",
  503: "Service Temporarily Unavailable",
};

// An error answer: the same short page for every reason a status has, so a
// 403 never tells a wrong signature from an expired link.
function errorAnswer(status, method, headers = {}) {
  const title = `${status} ${REASONS[status]}`;
  const page = `<html>\r\n<head><title>${title}</title></head>\r\n<body>\r\n<center><h1>${title}</h1></center>\r\n</body>\r\n</html>\r\n`;
  return new Response(method === "HEAD" ? null : page, {
    status,
    headers: { "Content-Type": "text/html", ...headers },
  });
}

class Failure extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// The settings, checked once per isolate (and again should they change).
let settings = null;
async function settingsOf(env) {
  if (settings && settings.from.linkKey === env.LINK_KEY && settings.from.secret === env.EDGE_SECRET &&
      settings.from.origin === env.ORIGIN) {
    return settings;
  }
  const from = { linkKey: env.LINK_KEY, secret: env.EDGE_SECRET, origin: env.ORIGIN };
  const key = await importLinkKey(env.LINK_KEY);
  // edge.secret is one line of visible ASCII; a final newline is not part of it.
  const secret = typeof env.EDGE_SECRET === "string" ? env.EDGE_SECRET.replace(/\r?\n$/, "") : "";
  if (!/^[\x21-\x7e]{32,}$/.test(secret)) {
    throw new Error("EDGE_SECRET is not at least 32 visible ASCII characters (the origin's edge.secret)");
  }
  if (typeof env.ORIGIN !== "string" || !/^https?:\/\/[^/?#]+$/.test(env.ORIGIN)) {
    throw new Error(`ORIGIN is '${env.ORIGIN}', not a URL of the form http[s]://host[:port]`);
  }
  settings = { from, key, secret, origin: env.ORIGIN };
  return settings;
}

// The recipe for a download from the origin, or a Failure carrying the
// status the customer gets (the origin's 403, 404 or 500; 502 for anything
// else).
async function fetchRecipe(config, download, log) {
  const url = `${config.origin}/edge/recipe${download.target}`;
  let response;
  try {
    response = await fetch(url, {
      headers: { [SECRET_HEADER]: config.secret, "Accept-Encoding": "identity" },
      cache: "no-store",
    });
  } catch (error) {
    throw new Failure(502, `the origin did not answer the recipe request: ${error.message}`);
  }
  if (response.status !== 200) {
    await response.body?.cancel();
    const passed = [403, 404, 500].includes(response.status) ? response.status : 502;
    throw new Failure(passed, `the origin answered the recipe request with ${response.status}`);
  }
  let tail;
  try {
    tail = new Uint8Array(await response.arrayBuffer());
  } catch (error) {
    throw new Failure(502, `the origin's recipe was cut: ${error.message}`);
  }
  const recipe = readRecipe(response.headers, tail);
  if (typeof recipe === "string") throw new Failure(502, `the origin's recipe is unusable: ${recipe}`);
  return recipe;
}

// The image's bytes [first, last] at the given version, through the cache:
// {body, skip, take, framed}, the body to read, how many of its bytes to pass
// over and how many to take then; `framed` when the answer is exactly those
// bytes with a Content-Length, which the runtime enforces (a body that ends
// before its Content-Length fails, it never ends cleanly). null when the
// image is no longer at that version.
async function fetchImage(config, download, recipe, first, last) {
  const url = `${config.origin}/edge/image/${download.image}?v=${encodeURIComponent(recipe.version)}`;
  let response;
  try {
    response = await fetch(url, {
      headers: { [SECRET_HEADER]: config.secret, Range: `bytes=${first}-${last}`, "Accept-Encoding": "identity" },
      cf: { cacheEverything: true, cacheTtl: IMAGE_CACHE_SECONDS },
    });
  } catch (error) {
    throw new Failure(502, `the image request failed: ${error.message}`);
  }
  if (response.status === 412) {
    await response.body?.cancel();
    return null;
  }
  const take = last - first + 1;
  const encoding = response.headers.get("content-encoding");
  if (encoding !== null && encoding !== "identity") {
    await response.body?.cancel();
    throw new Failure(502, `the image request was answered in the encoding '${encoding}'`);
  }
  const length = response.headers.get("content-length");
  if (response.status === 206) {
    const problem = imageRangeProblem(response.headers.get("content-range"), first, last, recipe.keep);
    if (problem) {
      await response.body?.cancel();
      throw new Failure(502, `the image request's answer is not the range asked for: ${problem}`);
    }
    return { body: response.body, skip: 0, take, framed: length === String(take) };
  }
  // A cache may answer a range with the whole image; its first bytes are
  // then passed over.
  if (response.status === 200 && Number(length) > last) {
    return { body: response.body, skip: first, take, framed: false };
  }
  await response.body?.cancel();
  throw new Failure(502, `the image request was answered with ${response.status}`);
}

// Reads `image.take` bytes of `image.body` after its first `image.skip`, and
// writes them to `writer`, counting: a body that ends early is an error here.
// Reads of up to COPY_CHUNK bytes at once keep the work per byte small.
const COPY_CHUNK = 256 * 1024;
async function copyCounted(writer, image) {
  const reader = image.body.getReader({ mode: "byob" });
  try {
    for (const [count, keep] of [[image.skip, false], [image.take, true]]) {
      let left = count;
      while (left > 0) {
        const want = Math.min(left, COPY_CHUNK);
        const { done, value } = await reader.readAtLeast(want, new Uint8Array(want));
        if (value && value.byteLength > 0) {
          left -= value.byteLength;
          if (keep) await writer.write(value);
        }
        if (done) break;
      }
      if (left > 0) throw new Error(`the image ended ${left} bytes short of the ${image.skip + image.take} asked for`);
    }
  } finally {
    reader.cancel().catch(() => {});
  }
}

// Writes the image's part (if any), then the tail, to `writable`. On any
// failure it aborts the stream, so that the customer's body ends short; no
// byte is ever written out of place. A framed image part is piped, which
// the runtime does without running any JavaScript per chunk; any other is
// counted as it is copied.
async function send(writable, image, tail, log) {
  let writer = null;
  try {
    if (image?.framed) {
      await image.body.pipeTo(writable, { preventClose: true });
      writer = writable.getWriter();
    } else {
      writer = writable.getWriter();
      if (image) await copyCounted(writer, image);
    }
    if (tail.byteLength > 0) await writer.write(tail);
    await writer.close();
  } catch (error) {
    console.error(`brackwell edge: ${log.line}: the body ends short: ${error.message}`);
    (writer ? writer.abort(error) : writable.abort(error)).catch(() => {});
    image?.body.cancel(error).catch(() => {});
  }
}

async function answer(request, env, ctx) {
  const method = request.method;
  const target = targetOf(request.url);
  const download = parseTarget(target);
  if (download.kind === "other") return errorAnswer(404, method);
  if (method !== "GET" && method !== "HEAD") return errorAnswer(405, method, { Allow: "GET, HEAD" });
  const path = target.split("?")[0];
  const log = { line: `${method} ${path}` };

  let config;
  try {
    config = await settingsOf(env);
  } catch (error) {
    console.error(`brackwell edge: the Worker's settings are wrong: ${error.message}`);
    return errorAnswer(500, method);
  }
  if (download.kind === "unsigned" || download.kind === "misspelt") {
    const reason = download.kind === "unsigned" ? "no well-formed link" : "the path is spelt otherwise than served";
    console.warn(`brackwell edge: ${log.line}: refused: ${reason}`);
    return errorAnswer(403, method);
  }
  const refusal = await linkRefusal(config.key, download, Date.now() / 1000);
  if (refusal) {
    console.warn(`brackwell edge: ${log.line}: refused: ${refusal}`);
    return errorAnswer(403, method);
  }

  try {
    for (let attempt = 1; attempt <= RECIPE_ATTEMPTS; attempt++) {
      const recipe = await fetchRecipe(config, download, log);
      const plan = planAnswer(method, request.headers, recipe);
      if (plan.status === 304) return new Response(null, { status: 304, headers: plan.headers });
      if (plan.status === 412 || plan.status === 416) return errorAnswer(plan.status, method, plan.headers);
      if (method === "HEAD") return new Response(null, { status: plan.status, headers: plan.headers });

      const parts = splitBytes(plan.start, plan.end, recipe.keep);
      let image = null;
      if (parts.image) {
        image = await fetchImage(config, download, recipe, parts.image.first, parts.image.last);
        if (!image) {
          console.warn(`brackwell edge: ${log.line}: the image changed since its recipe (attempt ${attempt})`);
          continue;
        }
      }
      const { readable, writable } = new FixedLengthStream(plan.end - plan.start);
      ctx.waitUntil(send(writable, image, recipe.tail.subarray(parts.tail.start, parts.tail.end), log));
      const headers = { ...plan.headers };
      delete headers["Content-Length"]; // the FixedLengthStream's own
      return new Response(readable, { status: plan.status, headers });
    }
    throw new Failure(503, `the image changed ${RECIPE_ATTEMPTS} times while its recipe was asked for`);
  } catch (error) {
    if (!(error instanceof Failure)) throw error;
    console.error(`brackwell edge: ${log.line}: ${error.status}: ${error.message}`);
    return errorAnswer(error.status, method);
  }
}

export default {
  async fetch(request, env, ctx) {
    try {
      return await answer(request, env, ctx);
    } catch (error) {
      console.error(`brackwell edge: ${request.method} ${targetOf(request.url).split("?")[0]}: ${error.stack ?? error}`);
      return errorAnswer(500, request.method);
    }
  },
};
