// The edge's decisions (contrib/edge/download.js), row by row. The range
// rows were checked against Debian's nginx 1.22.1 serving a 1000-byte static
// file with max_ranges 1 (the origin module's single_range): the same status
// and Content-Range for every row. The signatures are HMAC-SHA256 computed
// with openssl (`printf %s TEXT | openssl dgst -sha256 -hmac KEY`).

import assert from "node:assert";
import {
  formatHttpDate,
  ifRangeHolds,
  imageRangeProblem,
  importLinkKey,
  linkRefusal,
  parseHttpDate,
  parseRange,
  parseTarget,
  planAnswer,
  precondition,
  readRecipe,
  splitBytes,
  targetOf,
} from "./download.js";
import { rows, rowsAsync } from "./table.js";

// --- The link -----------------------------------------------------------------

const KEY_TEXT = "0123456789abcdef0123456789abcdef-test-key";
const KEY = btoa(KEY_TEXT);
const SIG_ACME = "676af9613e93e2db236aa76ed03234c8093221c42a1a5280a46c8e115a9255d9"; // /download/Setup.dmg/acme?expires=2000000000
const SIG_OTHER = "7d201bb568dd7f2ce578c2451a4e4188458f5723c54513dfb77be244e7d21c9a"; // /download/Setup.dmg/other?expires=2000000000
const SIG_SPACE = "58314e57f497ae4b2f432a56cb407463056c7d780e925e55fd7ed01b6af21cfc"; // /download/My%20App.dmg/acme?expires=1700000000

export const requestTargets = {
  test() {
    rows(
      [
        ["http://edge.test/download/a/b?x=1", "/download/a/b?x=1"],
        ["https://edge.test:8443/download/%2e%2e/acme", "/download/%2e%2e/acme"],
        ["http://edge.test/download/a/b?x=1#frag", "/download/a/b?x=1"],
        ["http://edge.test", "/"],
      ],
      ([url, target]) => assert.strictEqual(targetOf(url), target),
    );
  },
};

export const downloadTargets = {
  test() {
    const link = `expires=2000000000&signature=${SIG_ACME}`;
    rows(
      [
        { name: "a link", target: `/download/Setup.dmg/acme?${link}`, kind: "download" },
        { name: "the signed text", target: `/download/My-App_2.dmg/acme?expires=1&signature=${SIG_ACME}`, kind: "download", image: "My-App_2.dmg", signed: "/download/My-App_2.dmg/acme?expires=1" },
        { name: "a percent-encoded byte", target: `/download/Setup%2edmg/acme?${link}`, kind: "misspelt" },
        { name: "an encoded dot segment", target: `/download/%2e%2e/acme?${link}`, kind: "misspelt" },
        { name: "a dot segment", target: `/download/Setup.dmg/..?${link}`, kind: "misspelt" },
        { name: "a dot", target: `/download/./acme?${link}`, kind: "misspelt" },
        { name: "a name of three dots is a name", target: `/download/.../acme?${link}`, kind: "download", image: "..." },
        { name: "no query", target: "/download/Setup.dmg/acme", kind: "unsigned" },
        { name: "empty query", target: "/download/Setup.dmg/acme?", kind: "unsigned" },
        { name: "parameters swapped", target: `/download/Setup.dmg/acme?signature=${SIG_ACME}&expires=2000000000`, kind: "unsigned" },
        { name: "a third parameter", target: `/download/Setup.dmg/acme?${link}&x=1`, kind: "unsigned" },
        { name: "upper-case hex", target: `/download/Setup.dmg/acme?expires=2000000000&signature=${SIG_ACME.toUpperCase()}`, kind: "unsigned" },
        { name: "63 hex digits", target: `/download/Setup.dmg/acme?expires=2000000000&signature=${SIG_ACME.slice(1)}`, kind: "unsigned" },
        { name: "a signed expires", target: `/download/Setup.dmg/acme?expires=-1&signature=${SIG_ACME}`, kind: "unsigned" },
        { name: "20 digits of expires", target: `/download/Setup.dmg/acme?expires=${"9".repeat(20)}&signature=${SIG_ACME}`, kind: "unsigned" },
        { name: "one name", target: `/download/Setup.dmg?${link}`, kind: "other" },
        { name: "three names", target: `/download/Setup.dmg/acme/more?${link}`, kind: "other" },
        { name: "an empty name", target: `/download//acme?${link}`, kind: "other" },
        { name: "a trailing slash", target: `/download/Setup.dmg/acme/?${link}`, kind: "other" },
        { name: "another folder", target: `/downloads/Setup.dmg/acme?${link}`, kind: "other" },
        { name: "the root", target: "/", kind: "other" },
      ],
      (row) => {
        const parsed = parseTarget(row.target);
        assert.strictEqual(parsed.kind, row.kind);
        if (row.image) assert.strictEqual(parsed.image, row.image);
        if (row.signed) assert.strictEqual(parsed.signed, row.signed);
        if (row.kind === "download") assert.strictEqual(parsed.target, row.target);
      },
    );
  },
};

export const links = {
  async test() {
    const key = await importLinkKey(KEY);
    const now = 1900000000;
    await rowsAsync(
      [
        { name: "genuine", target: `/download/Setup.dmg/acme?expires=2000000000&signature=${SIG_ACME}`, refusal: null },
        { name: "genuine until E itself", target: `/download/My%20App.dmg/acme?expires=1700000000&signature=${SIG_SPACE}`, now: 1700000000, refusal: null },
        { name: "expired a second ago", target: `/download/My%20App.dmg/acme?expires=1700000000&signature=${SIG_SPACE}`, now: 1700000001, refusal: "expired" },
        { name: "another customer's signature", target: `/download/Setup.dmg/acme?expires=2000000000&signature=${SIG_OTHER}`, refusal: "wrong signature" },
        { name: "expires moved", target: `/download/Setup.dmg/acme?expires=2000000001&signature=${SIG_ACME}`, refusal: "wrong signature" },
        { name: "the name decoded", target: `/download/My App.dmg/acme?expires=1700000000&signature=${SIG_SPACE}`, now: 1700000000, refusal: "wrong signature" },
        { name: "one digit changed", target: `/download/Setup.dmg/acme?expires=2000000000&signature=${SIG_ACME.slice(0, 63)}0`, refusal: "wrong signature" },
      ],
      // The signed text as parseTarget gives it for a well-spelt path, here
      // built directly so that the HMAC is also checked on bytes a
      // well-spelt path never has.
      async (row) => {
        const [path, query] = row.target.split("?");
        const [, expires, signature] = /^expires=([0-9]+)&signature=([0-9a-f]+)$/.exec(query);
        const download = { expires, signature, signed: `${path}?expires=${expires}` };
        assert.strictEqual(await linkRefusal(key, download, row.now ?? now), row.refusal);
      },
    );
    const otherKey = await importLinkKey(btoa(`${KEY_TEXT}\n`)); // the whole file: a newline is key material
    const acme = parseTarget(`/download/Setup.dmg/acme?expires=2000000000&signature=${SIG_ACME}`);
    assert.strictEqual(await linkRefusal(key, acme, now), null);
    assert.strictEqual(await linkRefusal(otherKey, acme, now), "wrong signature");
  },
};

export const linkKeys = {
  async test() {
    await rowsAsync(
      [
        { name: "31 bytes", value: btoa("x".repeat(31)), error: /holds 31 bytes/ },
        { name: "unset", value: undefined, error: /not set/ },
        { name: "not base64", value: "%%%%", error: /not base64/ },
      ],
      async (row) => assert.rejects(importLinkKey(row.value), row.error),
    );
    await importLinkKey(btoa("x".repeat(32)));
  },
};

// --- Dates, conditions, ranges --------------------------------------------------

export const httpDates = {
  test() {
    const instant = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
    rows(
      [
        ["Sun, 06 Nov 1994 08:49:37 GMT", instant],
        ["Sunday, 06-Nov-94 08:49:37 GMT", instant],
        ["Sun Nov  6 08:49:37 1994", instant],
        ["Sun, 06 Nov 1994 08:49:37 UTC", null],
        ["Sun, 06 Nov 1994 08:49:37 gmt", null],
        ["Sun, 31 Feb 1994 08:49:37 GMT", null],
        ["Sun, 06 Nov 1994 24:49:37 GMT", null],
        ["Xyz, 06 Nov 1994 08:49:37 GMT", null],
        ["1994-11-06T08:49:37Z", null],
        ["", null],
      ],
      ([text, seconds]) => assert.strictEqual(parseHttpDate(text), seconds),
    );
    assert.strictEqual(formatHttpDate(instant), "Sun, 06 Nov 1994 08:49:37 GMT");
  },
};

export const ranges = {
  test() {
    rows(
      [
        [null, "200"],
        ["bytes=0-99", "0-99"],
        ["bytes=100-", "100-999"],
        ["bytes=-100", "900-999"],
        ["bytes=-2000", "0-999"],
        ["bytes=990-5000", "990-999"],
        ["bytes=999-", "999-999"],
        ["bytes=0-0", "0-0"],
        ["BYTES=0-9", "0-9"],
        ["bytes= 0 - 9 ", "0-9"],
        ["bytes=0-9,2000-3000", "0-9"],
        ["bytes=2000-3000,0-9", "0-9"],
        ["bytes=0-9,20-29", "200"],
        ["bytes=5-5,5-5", "200"],
        ["items=0-9", "200"],
        ["bytes=", "200"],
        ["bytes=1000-", "416"],
        ["bytes=-0", "416"],
        ["bytes=9-1", "416"],
        ["bytes=abc", "416"],
        ["bytes=99999999999999999999-", "416"],
        ["bytes=9223372036854775807-", "416"],
        ["bytes=0-9,", "416"],
        ["bytes=,0-9", "416"],
        ["bytes=- 5", "416"],
        ["bytes=1-2-3", "416"],
        ["bytes=\t0-9", "416"],
      ],
      ([header, want]) => {
        const range = parseRange(header, 1000);
        const got = range.kind === "range" ? `${range.start}-${range.end - 1}` : range.kind === "whole" ? "200" : "416";
        assert.strictEqual(got, want);
      },
    );
    assert.deepStrictEqual(parseRange("bytes=0-", 0), { kind: "whole" }); // nginx declines on an empty body
  },
};

const ETAG = '"bw1-0123456789abcdef"';
const LAST_MODIFIED = 1700000000; // Tue, 14 Nov 2023 22:13:20 GMT

function headersOf(object) {
  return new Headers(object);
}

export const preconditions = {
  test() {
    rows(
      [
        { name: "none", headers: {}, want: null },
        { name: "If-None-Match: the tag", headers: { "If-None-Match": ETAG }, want: 304 },
        { name: "If-None-Match: weak form in a list", headers: { "If-None-Match": `"x", W/${ETAG}` }, want: 304 },
        { name: "If-None-Match: a tag holding a comma", headers: { "If-None-Match": `"a,b", ${ETAG}` }, want: 304 },
        { name: "If-None-Match: *", headers: { "If-None-Match": "*" }, want: 304 },
        { name: "If-None-Match: another tag", headers: { "If-None-Match": '"bw1-0000000000000000"' }, want: null },
        { name: "If-None-Match: unparsable", headers: { "If-None-Match": `bw1-0123456789abcdef` }, want: null },
        { name: "If-Modified-Since: Last-Modified", headers: { "If-Modified-Since": "Tue, 14 Nov 2023 22:13:20 GMT" }, want: 304 },
        { name: "If-Modified-Since: later, not Last-Modified exactly", headers: { "If-Modified-Since": "Wed, 15 Nov 2023 00:00:00 GMT" }, want: null },
        { name: "If-Modified-Since: earlier", headers: { "If-Modified-Since": "Tue, 14 Nov 2023 22:13:19 GMT" }, want: null },
        { name: "If-Modified-Since: unparsable", headers: { "If-Modified-Since": "yesterday" }, want: null },
        { name: "both say current", headers: { "If-None-Match": ETAG, "If-Modified-Since": "Tue, 14 Nov 2023 22:13:20 GMT" }, want: 304 },
        { name: "the tag matches, the date does not", headers: { "If-None-Match": ETAG, "If-Modified-Since": "Tue, 14 Nov 2023 22:13:19 GMT" }, want: null },
        { name: "the date matches, the tag does not", headers: { "If-None-Match": '"other"', "If-Modified-Since": "Tue, 14 Nov 2023 22:13:20 GMT" }, want: null },
        { name: "If-Match: the tag", headers: { "If-Match": ETAG }, want: null },
        { name: "If-Match: *", headers: { "If-Match": "*" }, want: null },
        { name: "If-Match: the weak form", headers: { "If-Match": `W/${ETAG}` }, want: 412 },
        { name: "If-Match: another tag", headers: { "If-Match": '"other"' }, want: 412 },
        { name: "If-Unmodified-Since: Last-Modified", headers: { "If-Unmodified-Since": "Tue, 14 Nov 2023 22:13:20 GMT" }, want: null },
        { name: "If-Unmodified-Since: earlier", headers: { "If-Unmodified-Since": "Tue, 14 Nov 2023 22:13:19 GMT" }, want: 412 },
        { name: "If-Unmodified-Since: unparsable, ignored", headers: { "If-Unmodified-Since": "never" }, want: null },
        { name: "If-Match wins over If-Unmodified-Since", headers: { "If-Match": ETAG, "If-Unmodified-Since": "Mon, 01 Jan 1990 00:00:00 GMT" }, want: null },
        { name: "If-Unmodified-Since fails before If-Match is looked at", headers: { "If-Unmodified-Since": "Tue, 14 Nov 2023 22:13:19 GMT", "If-None-Match": ETAG }, want: 412 },
        { name: "412 before 304", headers: { "If-Match": '"other"', "If-None-Match": ETAG }, want: 412 },
      ],
      (row) => assert.strictEqual(precondition(headersOf(row.headers), ETAG, LAST_MODIFIED), row.want),
    );
  },
};

export const ifRange = {
  test() {
    rows(
      [
        [null, true],
        [ETAG, true],
        [`W/${ETAG}`, false],
        ['"bw1-0000000000000000"', false],
        ['"', false],
        ["Tue, 14 Nov 2023 22:13:20 GMT", false], // Last-Modified itself
        ["soon", false],
      ],
      ([value, holds]) => assert.strictEqual(ifRangeHolds(value, ETAG), holds),
    );
  },
};

// --- The recipe and the answer ----------------------------------------------------

const RECIPE_HEADERS = {
  "Brackwell-Keep": "1000",
  "Brackwell-Size": "1528",
  ETag: ETAG,
  "Last-Modified": "Tue, 14 Nov 2023 22:13:20 GMT",
  "Content-Disposition": 'attachment; filename="Setup.dmg"',
  "Brackwell-Image-Version": "1700000000.000000000-1512",
};

export const recipes = {
  test() {
    const tail = new Uint8Array(528);
    const recipe = readRecipe(headersOf(RECIPE_HEADERS), tail);
    assert.strictEqual(typeof recipe, "object", recipe);
    assert.strictEqual(recipe.keep, 1000);
    assert.strictEqual(recipe.size, 1528);
    assert.strictEqual(recipe.lastModified, LAST_MODIFIED);
    rows(
      [
        { name: "size not KEEP + tail", change: { "Brackwell-Size": "1529" }, problem: /do not make/ },
        { name: "no KEEP", change: { "Brackwell-Keep": null }, problem: /Brackwell-Keep/ },
        { name: "a negative KEEP", change: { "Brackwell-Keep": "-1" }, problem: /Brackwell-Keep/ },
        { name: "a weak ETag", change: { ETag: `W/${ETAG}` }, problem: /ETag/ },
        { name: "no Last-Modified", change: { "Last-Modified": null }, problem: /Last-Modified/ },
        { name: "a version with a slash", change: { "Brackwell-Image-Version": "1/2" }, problem: /Version/ },
        { name: "no Content-Disposition", change: { "Content-Disposition": null }, problem: /Content-Disposition/ },
      ],
      (row) => {
        const headers = headersOf(RECIPE_HEADERS);
        for (const [name, value] of Object.entries(row.change)) {
          if (value === null) headers.delete(name);
          else headers.set(name, value);
        }
        const problem = readRecipe(headers, tail);
        assert.strictEqual(typeof problem, "string");
        assert.match(problem, row.problem);
      },
    );
  },
};

export const answers = {
  test() {
    const recipe = readRecipe(headersOf(RECIPE_HEADERS), new Uint8Array(528));
    const last = "Tue, 14 Nov 2023 22:13:20 GMT";
    rows(
      [
        { name: "GET", want: [200, 0, 1528, { "Content-Length": "1528" }] },
        { name: "HEAD: no body, the same length", method: "HEAD", want: [200, 0, 0, { "Content-Length": "1528" }] },
        { name: "a range", headers: { Range: "bytes=990-1009" }, want: [206, 990, 1010, { "Content-Range": "bytes 990-1009/1528", "Content-Length": "20" }] },
        { name: "HEAD of a range", method: "HEAD", headers: { Range: "bytes=-10" }, want: [206, 1518, 1518, { "Content-Range": "bytes 1518-1527/1528", "Content-Length": "10" }] },
        { name: "a range past the end", headers: { Range: "bytes=1528-" }, want: [416, 0, 0, { "Content-Range": "bytes */1528" }] },
        { name: "If-Range current", headers: { Range: "bytes=0-9", "If-Range": ETAG }, want: [206, 0, 10, { "Content-Range": "bytes 0-9/1528" }] },
        { name: "If-Range stale: the whole", headers: { Range: "bytes=0-9", "If-Range": '"old"' }, want: [200, 0, 1528, { "Content-Length": "1528" }] },
        { name: "If-Range stale, no range: 200 even when unsatisfiable", headers: { Range: "bytes=5000-", "If-Range": '"old"' }, want: [200, 0, 1528, {}] },
        { name: "If-None-Match before Range", headers: { Range: "bytes=0-9", "If-None-Match": ETAG }, want: [304, 0, 0, { ETag: ETAG, "Last-Modified": last }] },
        { name: "If-Match fails before Range", headers: { Range: "bytes=0-9", "If-Match": '"old"' }, want: [412, 0, 0, {}] },
      ],
      (row) => {
        const plan = planAnswer(row.method ?? "GET", headersOf(row.headers ?? {}), recipe);
        const [status, start, end, headers] = row.want;
        assert.deepStrictEqual([plan.status, plan.start, plan.end], [status, start, end]);
        for (const [name, value] of Object.entries(headers)) assert.strictEqual(plan.headers[name], value, name);
        if (status === 200 || status === 206) {
          assert.strictEqual(plan.headers["Content-Type"], "application/x-apple-diskimage");
          assert.strictEqual(plan.headers.ETag, ETAG);
          assert.strictEqual(plan.headers["Last-Modified"], last);
          assert.strictEqual(plan.headers["Accept-Ranges"], "bytes");
          assert.strictEqual(plan.headers["Content-Disposition"], 'attachment; filename="Setup.dmg"');
        }
      },
    );
  },
};

export const splits = {
  test() {
    const keep = 1000;
    rows(
      [
        { name: "the whole", bytes: [0, 1528], image: { first: 0, last: 999 }, tail: { start: 0, end: 528 } },
        { name: "in the prefix", bytes: [0, 100], image: { first: 0, last: 99 }, tail: { start: 0, end: 0 } },
        { name: "to the boundary", bytes: [900, 1000], image: { first: 900, last: 999 }, tail: { start: 0, end: 0 } },
        { name: "across the boundary", bytes: [990, 1010], image: { first: 990, last: 999 }, tail: { start: 0, end: 10 } },
        { name: "from the boundary: no image byte", bytes: [1000, 1528], image: null, tail: { start: 0, end: 528 } },
        { name: "inside the tail", bytes: [1100, 1200], image: null, tail: { start: 100, end: 200 } },
        { name: "nothing (HEAD)", bytes: [0, 0], image: null, tail: { start: 0, end: 0 } },
      ],
      (row) => assert.deepStrictEqual(splitBytes(row.bytes[0], row.bytes[1], keep), { image: row.image, tail: row.tail }),
    );
  },
};

export const imageRanges = {
  test() {
    rows(
      [
        ["bytes 0-99/1512", null],
        ["bytes 0-99/1000", null],
        ["bytes 0-99/999", /at least 1000/],
        ["bytes 1-100/1512", /not bytes 0-99/],
        ["bytes 0-98/1512", /not bytes 0-99/],
        ["bytes 0-99/*", /Content-Range/],
        [null, /Content-Range/],
      ],
      ([contentRange, problem]) => {
        const got = imageRangeProblem(contentRange, 0, 99, 1000);
        if (problem === null) assert.strictEqual(got, null);
        else assert.match(got ?? "", problem);
      },
    );
  },
};
