// What the edge decides about a download without asking anyone: whether the
// link is genuine, what the origin's recipe says, which status and headers
// the request gets, and which of the response's bytes come from the image
// and which from the tail. worker.js does the fetching and the streaming.
//
// The answers are the origin's: nginx's own filters (ngx_http_range_filter_module,
// ngx_http_not_modified_filter_module) with the corrections the module makes
// to them, so a client sees one server whichever tier it reaches.

const encoder = new TextEncoder();

// --- The link -------------------------------------------------------------

// /download/<image>/<customer>?expires=E&signature=S, exactly those two
// parameters in that order. The signature covers the path as the client
// sent it, and the origin serves a link only when that is the very path it
// serves (nothing percent-encoded, no dot segment); it applies its own rules
// to the names once the link is genuine.
const DOWNLOAD_PATH = /^\/download\/([^/?#]+)\/([^/?#]+)$/;
const LINK_QUERY = /^expires=([0-9]{1,19})&signature=([0-9a-f]{64})$/;

// The request target's path and query exactly as sent, from request.url
// (which workerd and the CDN give unnormalised: no dot segment removed,
// nothing decoded).
export function targetOf(url) {
  const afterScheme = url.indexOf("//");
  const pathStart = url.indexOf("/", afterScheme < 0 ? 0 : afterScheme + 2);
  const target = pathStart < 0 ? "/" : url.slice(pathStart);
  const hash = target.indexOf("#");
  return hash < 0 ? target : target.slice(0, hash);
}

// What a request target asks for:
//   {kind: "other"}     not a download (404)
//   {kind: "unsigned"}  a download without a well-formed link (403)
//   {kind: "misspelt"}  a download whose path is not the path the origin
//                       serves: a percent-encoded byte or a dot segment,
//                       which the origin refuses whatever the signature (403)
//   {kind: "download", target, image, customer, expires, signature, signed}
// `signed` is the text the signature covers: the path and "?expires=E".
export function parseTarget(target) {
  const question = target.indexOf("?");
  const path = question < 0 ? target : target.slice(0, question);
  const query = question < 0 ? null : target.slice(question + 1);
  const names = DOWNLOAD_PATH.exec(path);
  if (!names) return { kind: "other" };
  const link = query === null ? null : LINK_QUERY.exec(query);
  if (!link) return { kind: "unsigned" };
  if (path.includes("%") || names.slice(1).some((name) => name === "." || name === "..")) {
    return { kind: "misspelt" };
  }
  return {
    kind: "download",
    target,
    image: names[1],
    customer: names[2],
    expires: link[1],
    signature: link[2],
    signed: `${path}?expires=${link[1]}`,
  };
}

// The key file's bytes, given base64-encoded (a CDN keeps secrets as text).
// Shorter than 32 bytes is a configuration error, as at the origin.
export async function importLinkKey(base64) {
  if (typeof base64 !== "string" || base64.trim() === "") {
    throw new Error("LINK_KEY is not set: it is the base64 of the origin's link.key");
  }
  let bytes;
  try {
    bytes = Uint8Array.from(atob(base64.trim()), (c) => c.charCodeAt(0));
  } catch {
    throw new Error("LINK_KEY is not base64");
  }
  if (bytes.length < 32) {
    throw new Error(`LINK_KEY holds ${bytes.length} bytes; a link key has at least 32`);
  }
  return crypto.subtle.importKey("raw", bytes, { name: "HMAC", hash: "SHA-256" }, false, ["verify"]);
}

function hexBytes(hex) {
  const bytes = new Uint8Array(hex.length / 2);
  for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(hex.slice(2 * i, 2 * i + 2), 16);
  return bytes;
}

// Why a parsed download's link is refused, or null when it is genuine and
// current: E is still to come (E itself included) and S is the HMAC-SHA256
// of `signed` under the key. WebCrypto's verify compares in constant time.
export async function linkRefusal(key, download, nowSeconds) {
  if (BigInt(download.expires) < BigInt(Math.floor(nowSeconds))) return "expired";
  const genuine = await crypto.subtle.verify("HMAC", key, hexBytes(download.signature), encoder.encode(download.signed));
  return genuine ? null : "wrong signature";
}

// --- HTTP dates -------------------------------------------------------------

const MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"];
const DAYS = ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"];
const LONG_DAYS = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"];
const IMF_FIXDATE = /^([A-Z][a-z]{2}), ([0-9]{2}) ([A-Z][a-z]{2}) ([0-9]{4}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$/;
const RFC850_DATE = /^([A-Z][a-z]{5,8}), ([0-9]{2})-([A-Z][a-z]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$/;
const ASCTIME_DATE = /^([A-Z][a-z]{2}) ([A-Z][a-z]{2}) ([ 0-9][0-9]) ([0-9]{2}):([0-9]{2}):([0-9]{2}) ([0-9]{4})$/;

// An HTTP-date (the three forms RFC 9110 accepts) in Unix seconds, or null.
export function parseHttpDate(text) {
  if (typeof text !== "string") return null;
  let day, month, year, hour, minute, second, weekday;
  let m = IMF_FIXDATE.exec(text);
  if (m) {
    [, weekday, day, month, year, hour, minute, second] = m;
    if (!DAYS.includes(weekday)) return null;
  } else if ((m = RFC850_DATE.exec(text))) {
    [, weekday, day, month, year, hour, minute, second] = m;
    if (!LONG_DAYS.includes(weekday)) return null;
    // A two-digit year more than 50 years ahead is in the past century.
    const thisYear = new Date().getUTCFullYear();
    year = 2000 + Number(year);
    if (year > thisYear + 50) year -= 100;
  } else if ((m = ASCTIME_DATE.exec(text))) {
    [, weekday, month, day, hour, minute, second, year] = m;
    if (!DAYS.includes(weekday)) return null;
  } else {
    return null;
  }
  const monthIndex = MONTHS.indexOf(month);
  [day, year, hour, minute, second] = [day, year, hour, minute, second].map(Number);
  if (monthIndex < 0 || day < 1 || hour > 23 || minute > 59 || second > 60) return null;
  const ms = Date.UTC(year, monthIndex, day, hour, minute, second);
  if (new Date(ms).getUTCDate() !== day) return null; // 31 Feb and the like
  return ms / 1000;
}

export function formatHttpDate(seconds) {
  return new Date(seconds * 1000).toUTCString(); // IMF-fixdate, as RFC 9110 sends it
}

// --- The origin's recipe ----------------------------------------------------

const DIGITS = /^[0-9]{1,16}$/;
const STRONG_ETAG = /^"[\x21\x23-\x7e]*"$/;
const VERSION = /^[0-9A-Za-z._-]{1,100}$/;

// The recipe from the headers of the origin's answer to /edge/recipe/ and its
// body (the tail): {keep, size, tail, etag, lastModified, disposition,
// version}, or a string saying what is wrong with it. Every field is checked,
// so a proxy that changed the answer on its way is caught here, before the
// customer gets a header.
export function readRecipe(headers, tail) {
  const keepText = headers.get("brackwell-keep");
  const sizeText = headers.get("brackwell-size");
  const etag = headers.get("etag");
  const lastModifiedText = headers.get("last-modified");
  const disposition = headers.get("content-disposition");
  const version = headers.get("brackwell-image-version");
  if (!DIGITS.test(keepText ?? "")) return `Brackwell-Keep is '${keepText}'`;
  if (!DIGITS.test(sizeText ?? "")) return `Brackwell-Size is '${sizeText}'`;
  const keep = Number(keepText);
  const size = Number(sizeText);
  if (keep + tail.byteLength !== size) {
    return `Brackwell-Keep ${keep} and a tail of ${tail.byteLength} bytes do not make Brackwell-Size ${size}`;
  }
  if (!STRONG_ETAG.test(etag ?? "")) return `ETag is '${etag}', not a strong entity tag`;
  const lastModified = parseHttpDate(lastModifiedText);
  if (lastModified === null) return `Last-Modified is '${lastModifiedText}'`;
  if (!VERSION.test(version ?? "")) return `Brackwell-Image-Version is '${version}'`;
  if (!disposition) return "Content-Disposition is missing";
  return { keep, size, tail, etag, lastModified, lastModifiedText, disposition, version };
}

// --- Conditions and ranges ----------------------------------------------------

// The entity tags of an If-Match or If-None-Match list, or null for a list
// that does not parse (which then matches nothing). A tag may hold a comma,
// so the list is read tag by tag rather than split.
function entityTags(value) {
  const tags = [];
  let rest = value.replace(/^[ \t,]+/, "");
  while (rest !== "") {
    const m = /^((?:W\/)?"[\x21\x23-\x7e\x80-\xff]*")[ \t]*(,[ \t,]*|$)/.exec(rest);
    if (!m) return null;
    tags.push(m[1]);
    rest = rest.slice(m[0].length);
  }
  return tags;
}

function opaque(tag) {
  return tag.startsWith("W/") ? tag.slice(2) : tag;
}

// Does an If-Match (strong) or If-None-Match (weak) list hold the ETag?
function listHolds(value, etag, weak) {
  if (value === "*") return true;
  const tags = entityTags(value);
  if (!tags) return false;
  return tags.some((tag) => (weak ? opaque(tag) === opaque(etag) : tag === etag));
}

// The answer the request's preconditions call for: 412, 304, or null to go
// on. These are the origin's answers, which nginx's not-modified filter
// gives with the module's two corrections: If-Unmodified-Since is ignored
// beside If-Match or when it is not a date (RFC 9110, 13.1.4; nginx would
// answer 412). So, in nginx's order: If-Unmodified-Since, then If-Match
// (compared strongly), each a 412 when it fails; then a 304 when every one
// of If-Modified-Since (Last-Modified exactly, nginx's `if_modified_since
// exact`) and If-None-Match (compared weakly) the request has says the
// client's copy is current.
export function precondition(headers, etag, lastModified) {
  const ifMatch = headers.get("if-match");
  const ifUnmodifiedSince = headers.get("if-unmodified-since");
  if (ifMatch === null && ifUnmodifiedSince !== null) {
    const date = parseHttpDate(ifUnmodifiedSince);
    if (date !== null && date < lastModified) return 412;
  }
  if (ifMatch !== null && !listHolds(ifMatch, etag, false)) return 412;
  const ifNoneMatch = headers.get("if-none-match");
  const ifModifiedSince = headers.get("if-modified-since");
  if (ifNoneMatch === null && ifModifiedSince === null) return null;
  if (ifModifiedSince !== null && parseHttpDate(ifModifiedSince) !== lastModified) return null;
  if (ifNoneMatch !== null && !listHolds(ifNoneMatch, etag, true)) return null;
  return 304;
}

// Whether If-Range lets a Range through, as the origin decides it: only an
// entity tag equal byte for byte to the ETag does (so a weak tag never
// matches). A date never does, not even Last-Modified itself: a time in
// whole seconds cannot tell apart two versions written within one second,
// and a range of the one spliced onto a copy of the other would be a
// broken image.
export function ifRangeHolds(value, etag) {
  if (value === null) return true;
  return value.length >= 2 && value.endsWith('"') && value === etag;
}

const MAX_OFF_T = 2n ** 63n - 1n;

// The byte range a Range header asks of a body of `size` bytes, as nginx's
// range filter parses it for a response that allows a single range (the
// origin's module sets r->single_range):
//   {kind: "whole"}                    no range, another unit, or several
//                                      ranges: 200 with the whole body
//   {kind: "unsatisfiable"}            416 (a malformed range, as in nginx,
//                                      or none that overlaps the body)
//   {kind: "range", start, end}        206 with bytes [start, end)
export function parseRange(value, size) {
  if (value === null || value.length < 7 || value.slice(0, 6).toLowerCase() !== "bytes=") return { kind: "whole" };
  const text = value.slice(6);
  let p = 0;
  const at = () => (p < text.length ? text[p] : "\0");
  const isDigit = (c) => c >= "0" && c <= "9";
  const number = () => {
    const from = p;
    while (isDigit(at())) p++;
    const digits = text.slice(from, p);
    return BigInt(digits) > MAX_OFF_T ? null : Number(digits);
  };
  const skipSpaces = () => {
    while (at() === " ") p++;
  };
  let found = null;
  for (;;) {
    let start = 0;
    let end = 0;
    let suffix = false;
    let open = false;
    skipSpaces();
    if (at() !== "-") {
      if (!isDigit(at())) return { kind: "unsatisfiable" };
      start = number();
      if (start === null) return { kind: "unsatisfiable" };
      skipSpaces();
      if (at() !== "-") return { kind: "unsatisfiable" };
      p++;
      skipSpaces();
      if (at() === "," || at() === "\0") {
        end = size;
        open = true;
      }
    } else {
      suffix = true;
      p++;
    }
    if (!open) {
      if (!isDigit(at())) return { kind: "unsatisfiable" };
      end = number();
      if (end === null) return { kind: "unsatisfiable" };
      skipSpaces();
      if (at() !== "," && at() !== "\0") return { kind: "unsatisfiable" };
      if (suffix) {
        start = end < size ? size - end : 0;
        end = size - 1;
      }
      end = end >= size ? size : end + 1;
    }
    if (start < end) {
      if (found) return { kind: "whole" }; // a second range: nginx declines
      found = { kind: "range", start, end };
    } else if (start === 0) {
      return { kind: "whole" }; // an empty body: nginx declines
    }
    if (at() !== ",") break;
    p++;
  }
  return found ?? { kind: "unsatisfiable" };
}

// --- The answer -----------------------------------------------------------------

export const DISK_IMAGE_TYPE = "application/x-apple-diskimage";

// The status and headers of the answer to a GET or HEAD of a download whose
// recipe is known, and the bytes [start, end) of the stamped image its body
// carries (none for HEAD, 304, 412, 416).
export function planAnswer(method, requestHeaders, recipe) {
  const { size, etag, lastModified } = recipe;
  const validators = { ETag: etag, "Last-Modified": formatHttpDate(lastModified) };
  const condition = precondition(requestHeaders, etag, lastModified);
  if (condition === 304) return { status: 304, headers: validators, start: 0, end: 0 };
  if (condition === 412) return { status: 412, headers: {}, start: 0, end: 0 };
  const entity = {
    "Content-Type": DISK_IMAGE_TYPE,
    ...validators,
    "Content-Disposition": recipe.disposition,
    "Accept-Ranges": "bytes",
  };
  let range = { kind: "whole" };
  if (ifRangeHolds(requestHeaders.get("if-range"), etag)) {
    range = parseRange(requestHeaders.get("range"), size);
  }
  let answer;
  switch (range.kind) {
    case "unsatisfiable":
      return { status: 416, headers: { "Content-Range": `bytes */${size}` }, start: 0, end: 0 };
    case "range":
      answer = {
        status: 206,
        headers: { ...entity, "Content-Range": `bytes ${range.start}-${range.end - 1}/${size}` },
        start: range.start,
        end: range.end,
      };
      break;
    case "whole":
      answer = { status: 200, headers: entity, start: 0, end: size };
      break;
  }
  answer.headers["Content-Length"] = String(answer.end - answer.start);
  if (method === "HEAD") answer.end = answer.start;
  return answer;
}

// Where the bytes [start, end) of a stamped image come from: the image's
// bytes [image.first, image.last] (inclusive, as a Range header names them;
// null when none are needed) and the tail's bytes [tail.start, tail.end).
export function splitBytes(start, end, keep) {
  const image = start < Math.min(end, keep) ? { first: start, last: Math.min(end, keep) - 1 } : null;
  const tail = end > keep ? { start: Math.max(start, keep) - keep, end: end - keep } : { start: 0, end: 0 };
  return { image, tail };
}

// The Content-Range an image response must carry to be exactly the bytes
// asked for: "bytes FIRST-LAST/TOTAL" with TOTAL at least `keep`. Returns
// null when it does, else what is wrong.
export function imageRangeProblem(contentRange, first, last, keep) {
  const m = /^bytes ([0-9]+)-([0-9]+)\/([0-9]+)$/.exec(contentRange ?? "");
  if (!m) return `Content-Range is '${contentRange}'`;
  if (Number(m[1]) !== first || Number(m[2]) !== last || Number(m[3]) < keep) {
    return `Content-Range is '${contentRange}', not bytes ${first}-${last} of an image of at least ${keep} bytes`;
  }
  return null;
}
