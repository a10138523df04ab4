// The Worker (contrib/edge/worker.js) driven as a customer's client would,
// through the EDGE service binding, with origin_double.js answering its
// requests to the origin: exact bodies whichever part of the image a range
// falls in, and which requests reach the origin for each (none for a
// refused link, no image request for a range in the tail, a HEAD or a 304),
// and what a customer sees when the origin or the cache misbehaves.

import assert from "node:assert";
import { ETAG, IMAGE, KEEP, TAIL, TAIL_SIZE } from "./origin_fixture.js";
import { rowsAsync } from "./table.js";

const SIZE = KEEP + TAIL_SIZE;
const STAMPED = new Uint8Array(SIZE);
STAMPED.set(IMAGE.subarray(0, KEEP));
STAMPED.set(TAIL, KEEP);

async function linkTo(env, image, customer = "acme", expires = Math.floor(Date.now() / 1000) + 3600) {
  const raw = Uint8Array.from(atob(env.LINK_KEY), (c) => c.charCodeAt(0));
  const key = await crypto.subtle.importKey("raw", raw, { name: "HMAC", hash: "SHA-256" }, false, ["sign"]);
  const path = `/download/${image}/${customer}`;
  const mac = new Uint8Array(await crypto.subtle.sign("HMAC", key, new TextEncoder().encode(`${path}?expires=${expires}`)));
  const hex = [...mac].map((b) => b.toString(16).padStart(2, "0")).join("");
  return `${path}?expires=${expires}&signature=${hex}`;
}

async function originLog(env) {
  return (await env.ORIGIN_DOUBLE.fetch("http://origin.test/log")).json();
}

// What the double saw, in one line per request: "recipe NAME" or
// "image NAME RANGE".
function summary(log) {
  return log.map(({ path, range }) => {
    const m = /^\/edge\/(recipe\/download|image)\/([^/]+)/.exec(path);
    if (!m) return `unexpected ${path}`;
    return m[1] === "image" ? `image ${m[2]} ${range}` : `recipe ${m[2]}`;
  });
}

async function bodyOf(response) {
  return new Uint8Array(await response.arrayBuffer());
}

export const downloadsThroughTheEdge = {
  async test(ctrl, env) {
    await originLog(env);
    const link = await linkTo(env, "Setup.dmg");
    const r = (first, last) => `bytes=${first}-${last}`;
    await rowsAsync(
      [
        { name: "the whole image", want: [200, 0, SIZE], origin: ["recipe Setup.dmg", `image Setup.dmg ${r(0, KEEP - 1)}`] },
        { name: "a range in the image's bytes", range: r(100, 4195), want: [206, 100, 4196], origin: ["recipe Setup.dmg", `image Setup.dmg ${r(100, 4195)}`] },
        { name: "a range across the boundary", range: r(KEEP - 10, KEEP + 9), want: [206, KEEP - 10, KEEP + 10], origin: ["recipe Setup.dmg", `image Setup.dmg ${r(KEEP - 10, KEEP - 1)}`] },
        { name: "a range from the boundary: no image request", range: `bytes=${KEEP}-`, want: [206, KEEP, SIZE], origin: ["recipe Setup.dmg"] },
        { name: "a suffix in the tail: no image request", range: "bytes=-100", want: [206, SIZE - 100, SIZE], origin: ["recipe Setup.dmg"] },
        { name: "HEAD: no image request", method: "HEAD", want: [200, 0, 0, SIZE], origin: ["recipe Setup.dmg"] },
        { name: "HEAD of a range", method: "HEAD", range: r(0, 9), want: [206, 0, 0, 10], origin: ["recipe Setup.dmg"] },
        { name: "304: no image request", headers: { "If-None-Match": ETAG }, want: [304, 0, 0], origin: ["recipe Setup.dmg"] },
        { name: "416: no image request", range: `bytes=${SIZE}-`, want: [416], origin: ["recipe Setup.dmg"] },
        { name: "a stale If-Range: the whole image", range: r(0, 9), headers: { "If-Range": '"bw1-0000000000000000"' }, want: [200, 0, SIZE], origin: ["recipe Setup.dmg", `image Setup.dmg ${r(0, KEEP - 1)}`] },
        { name: "an image answer of unsaid length: counted", image: "Setup-Unframed.dmg", range: r(5, KEEP + 5), want: [206, 5, KEEP + 6], origin: ["recipe Setup-Unframed.dmg", `image Setup-Unframed.dmg ${r(5, KEEP - 1)}`] },
        { name: "a cache that answers a range with the whole image", image: "Whole.dmg", range: r(1000, 1999), want: [206, 1000, 2000], origin: ["recipe Whole.dmg", `image Whole.dmg ${r(1000, 1999)}`] },
        { name: "the image replaced between recipe and image: the recipe again", image: "Changing.dmg", want: [200, 0, SIZE], origin: ["recipe Changing.dmg", `image Changing.dmg ${r(0, KEEP - 1)}`, "recipe Changing.dmg", `image Changing.dmg ${r(0, KEEP - 1)}`] },
      ],
      async (row) => {
        await originLog(env);
        const target = row.image ? await linkTo(env, row.image) : link;
        const headers = { ...(row.headers ?? {}) };
        if (row.range) headers.Range = row.range;
        const response = await env.EDGE.fetch(`http://edge.test${target}`, { method: row.method ?? "GET", headers });
        const body = await bodyOf(response);
        const [status, start, end, length] = row.want;
        assert.strictEqual(response.status, status);
        if (start !== undefined) assert.deepStrictEqual(body, STAMPED.subarray(start, end), "the body");
        // A streamed body's length travels beside the headers over a
        // service binding (workerd writes it as Content-Length on a socket,
        // which the curl suite checks); a HEAD's is a header.
        if (row.method === "HEAD") assert.strictEqual(response.headers.get("content-length"), String(length));
        if (status === 200 || status === 206) assert.strictEqual(response.headers.get("etag"), ETAG);
        if (status === 206 && row.method !== "HEAD") {
          assert.strictEqual(response.headers.get("content-range"), `bytes ${start}-${end - 1}/${SIZE}`);
        }
        assert.deepStrictEqual(summary(await originLog(env)), row.origin, "the origin's requests");
      },
    );
  },
};

export const refusals = {
  async test(ctrl, env) {
    await originLog(env);
    const link = await linkTo(env, "Setup.dmg");
    const expired = await linkTo(env, "Setup.dmg", "acme", Math.floor(Date.now() / 1000) - 1);
    const other = await linkTo(env, "Setup.dmg", "other");
    await rowsAsync(
      [
        { name: "no link", target: "/download/Setup.dmg/acme", status: 403, origin: [] },
        { name: "an expired link", target: expired, status: 403, origin: [] },
        { name: "another customer's signature", target: `/download/Setup.dmg/acme?${other.split("?")[1]}`, status: 403, origin: [] },
        { name: "a tampered expires", target: link.replace(/expires=([0-9]+)/, (_, e) => `expires=${Number(e) + 1}`), status: 403, origin: [] },
        { name: "HEAD without a link", method: "HEAD", target: "/download/Setup.dmg/acme", status: 403, origin: [] },
        { name: "another method", method: "DELETE", target: link, status: 405, origin: [] },
        { name: "another path", target: "/edge/image/Setup.dmg?v=1", status: 404, origin: [] },
        { name: "a path spelt otherwise, signed as sent", target: await linkTo(env, "Setup%2edmg"), status: 403, origin: [] },
        { name: "the origin does not know the image", image: "None.dmg", status: 404, origin: ["recipe None.dmg"] },
        { name: "the origin refuses the image", image: "Broken.dmg", status: 500, origin: ["recipe Broken.dmg"] },
        { name: "a recipe whose sizes disagree", image: "Bad-recipe.dmg", status: 502, origin: ["recipe Bad-recipe.dmg"] },
        { name: "the cache answers another range", image: "Wrong-range.dmg", status: 502, origin: ["recipe Wrong-range.dmg", `image Wrong-range.dmg bytes=0-${KEEP - 1}`] },
        { name: "the image never settles", image: "Unsettled.dmg", status: 503, origin: Array(3).fill(["recipe Unsettled.dmg", `image Unsettled.dmg bytes=0-${KEEP - 1}`]).flat() },
      ],
      async (row) => {
        await originLog(env);
        const target = row.image ? await linkTo(env, row.image) : row.target;
        const response = await env.EDGE.fetch(`http://edge.test${target}`, { method: row.method ?? "GET" });
        const body = await response.text();
        assert.strictEqual(response.status, row.status);
        assert.strictEqual(response.headers.get("content-type"), "text/html");
        assert.ok(body.length < 1000, `an error page of ${body.length} bytes`);
        assert.strictEqual(body.includes(`<h1>${row.status} `), row.method !== "HEAD", "the page names the status");
        assert.deepStrictEqual(summary(await originLog(env)), row.origin, "the origin's requests");
      },
    );
    // Every 403 is the same page, whatever the reason.
    const pages = new Set();
    for (const target of ["/download/Setup.dmg/acme", expired]) {
      pages.add(await (await env.EDGE.fetch(`http://edge.test${target}`)).text());
    }
    assert.strictEqual(pages.size, 1);
  },
};

export const bodiesEndingShort = {
  async test(ctrl, env) {
    // The cache's answer fails half-way, or ends cleanly half-way: the
    // customer has had the headers, so the body must end short, every byte
    // of it in place (the tail never follows a short image part).
    await rowsAsync(
      [
        { name: "the image's stream fails", image: "Cut.dmg" },
        { name: "the image's stream fails, its length unsaid", image: "Cut-Unframed.dmg" },
        { name: "the image's stream ends early, its length unsaid", image: "Short-Unframed.dmg" },
      ],
      async (row) => {
        const response = await env.EDGE.fetch(`http://edge.test${await linkTo(env, row.image)}`);
        assert.strictEqual(response.status, 200);
        const reader = response.body.getReader();
        const received = new Uint8Array(SIZE + 65536);
        let length = 0;
        let failure = null;
        try {
          for (;;) {
            const { done, value } = await reader.read();
            if (done) break;
            received.set(value, length);
            length += value.byteLength;
          }
        } catch (error) {
          failure = error;
        }
        assert.ok(failure, `the body ended without an error after ${length} of ${SIZE} bytes`);
        assert.ok(length < SIZE);
        assert.deepStrictEqual(received.subarray(0, length), STAMPED.subarray(0, length));
      },
    );
  },
};
