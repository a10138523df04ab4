
/*
 * ngx_http_brackwell_stamp_module: answers GET and HEAD with an image
 * stamped with a customer's profile, exactly the bytes that
 * `brackwell-stamp write IMAGE PROFILE --out -` writes, behind a signed,
 * expiring link.
 *
 * The stamped image is the image's own bytes [0, keep) followed by a tail
 * (the profile, its descriptor and the trailer) that the recipe
 * (src/stamp/recipe_c.h) works out from the image's last bytes and the
 * profile. The handler sends the first part as a file buffer of the very
 * descriptor the recipe read, so nginx sends it with sendfile as it sends
 * a static file, and the tail as one memory buffer. nginx's own filters
 * then answer ranges, conditional requests and HEAD.
 *
 * Everything here runs in the event loop; the work is short: open and fstat
 * two files, one HMAC, and the recipe's reads (the image's trailer and the
 * profile). A request is handled in four steps, each a function of its own
 * so that other endpoints can reuse them: the link, the opening of the two
 * files, the recipe, the sending.
 *
 * Two more endpoints serve a CDN's edge (contrib/edge), which sends the
 * image's bytes from its cache and asks the origin only for what differs
 * per customer. Both answer only a request that carries the edge's secret:
 *
 *   /edge/recipe/download/<image>/<customer>?expires=E&signature=S
 *       the customer's link behind /edge/recipe, checked as a download's
 *       is; the answer is the recipe: the tail as the body, KEEP, the size,
 *       the download's validator and Last-Modified, the image's version
 *   /edge/image/<image>?v=<version>
 *       the image file itself, as nginx sends a static file (its own ETag
 *       and Last-Modified, ranges), for the edge's cache; 412 when the
 *       version is not the image's current one
 */


#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <recipe_c.h>


/* Shorter keys make the HMAC guessable; the key is the whole file. */
#define NGX_HTTP_BRACKWELL_STAMP_MIN_KEY  32
#define NGX_HTTP_BRACKWELL_STAMP_MAX_KEY  4096

/* "expires=" digits: up to 18, so that the number never overflows time_t. */
#define NGX_HTTP_BRACKWELL_STAMP_MAX_EXPIRES_DIGITS  18

/* HMAC-SHA256 in lowercase hex. */
#define NGX_HTTP_BRACKWELL_STAMP_SIGNATURE_LENGTH  64

/* What a location's handler answers. */
#define NGX_HTTP_BRACKWELL_STAMP_OFF       0
#define NGX_HTTP_BRACKWELL_STAMP_DOWNLOAD  1
#define NGX_HTTP_BRACKWELL_STAMP_RECIPE    2
#define NGX_HTTP_BRACKWELL_STAMP_IMAGE     3

/* A recipe request is the customer's link behind this prefix. */
#define NGX_HTTP_BRACKWELL_STAMP_RECIPE_PREFIX  "/edge/recipe"

/* The image's version: modification time in s and ns, then its size. */
#define NGX_HTTP_BRACKWELL_STAMP_VERSION_LENGTH                              \
    (NGX_TIME_T_LEN + sizeof(".123456789-") - 1 + NGX_OFF_T_LEN)


typedef struct {
    ngx_uint_t                  handler;       /* NGX_HTTP_BRACKWELL_STAMP_* */
    ngx_str_t                   handler_file;  /* where it is set */
    ngx_uint_t                  handler_line;
    ngx_http_complex_value_t   *image;
    ngx_http_complex_value_t   *profile;
    ngx_flag_t                  unsign;
    ngx_str_t                   link_key;
    ngx_str_t                   edge_secret;
} ngx_http_brackwell_stamp_loc_conf_t;


/* One of the two files a download is made of, opened for this request. */
typedef struct {
    ngx_str_t                   path;      /* NUL-terminated */
    ngx_str_t                   name;      /* the last component of path */
    ngx_fd_t                    fd;
    time_t                      mtime;
    long                        mtime_nsec;
    off_t                       size;
} ngx_http_brackwell_stamp_file_t;


static ngx_int_t ngx_http_brackwell_stamp_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_recipe_handler(
    ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_image_handler(
    ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_get_or_head(ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_prepare(ngx_http_request_t *r,
    ngx_str_t *prefix, ngx_http_brackwell_stamp_file_t *image,
    time_t *last_modified, brackwell_recipe **recipe);
static ngx_int_t ngx_http_brackwell_stamp_not_allowed(ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_check_secret(ngx_http_request_t *r,
    ngx_str_t *secret);
static ngx_int_t ngx_http_brackwell_stamp_check_link(ngx_http_request_t *r,
    ngx_str_t *key, ngx_str_t *prefix);
static ngx_int_t ngx_http_brackwell_stamp_open(ngx_http_request_t *r,
    ngx_http_complex_value_t *cv, ngx_http_brackwell_stamp_file_t *file);
static ngx_int_t ngx_http_brackwell_stamp_make_recipe(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image,
    ngx_http_brackwell_stamp_file_t *profile, ngx_uint_t unsign,
    brackwell_recipe **recipe);
static void ngx_http_brackwell_stamp_free_recipe(void *data);
static ngx_int_t ngx_http_brackwell_stamp_send(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, time_t last_modified,
    brackwell_recipe *recipe);
static ngx_int_t ngx_http_brackwell_stamp_send_recipe(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, time_t last_modified,
    brackwell_recipe *recipe);
static ngx_int_t ngx_http_brackwell_stamp_send_image(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, ngx_str_t *version);
static ngx_int_t ngx_http_brackwell_stamp_version(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, ngx_str_t *version);
static ngx_int_t ngx_http_brackwell_stamp_set_etag(ngx_http_request_t *r,
    brackwell_recipe *recipe);
static ngx_int_t ngx_http_brackwell_stamp_add_number(ngx_http_request_t *r,
    char *key, uint64_t number);
static ngx_int_t ngx_http_brackwell_stamp_add_header(ngx_http_request_t *r,
    char *key, ngx_str_t *value);
static ngx_int_t ngx_http_brackwell_stamp_set_disposition(
    ngx_http_request_t *r, ngx_str_t *name);
static void ngx_http_brackwell_stamp_preconditions(ngx_http_request_t *r);

static char *ngx_http_brackwell_stamp(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_brackwell_stamp_edge(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_brackwell_stamp_set_handler(ngx_conf_t *cf,
    ngx_http_brackwell_stamp_loc_conf_t *bscf, ngx_uint_t handler);
static char *ngx_http_brackwell_stamp_link_key(ngx_conf_t *cf,
    ngx_command_t *cmd, void *conf);
static char *ngx_http_brackwell_stamp_edge_secret(ngx_conf_t *cf,
    ngx_command_t *cmd, void *conf);
static char *ngx_http_brackwell_stamp_read_secret(ngx_conf_t *cf,
    char *what, ngx_str_t *name, ngx_str_t *secret, ngx_str_t *full);
static void ngx_http_brackwell_stamp_forget_key(void *data);
static void *ngx_http_brackwell_stamp_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_brackwell_stamp_merge_loc_conf(ngx_conf_t *cf,
    void *parent, void *child);


static ngx_command_t  ngx_http_brackwell_stamp_commands[] = {

    { ngx_string("brackwell_stamp"),
      NGX_HTTP_LOC_CONF|NGX_CONF_NOARGS,
      ngx_http_brackwell_stamp,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("brackwell_stamp_image"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_brackwell_stamp_loc_conf_t, image),
      NULL },

    { ngx_string("brackwell_stamp_profile"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_brackwell_stamp_loc_conf_t, profile),
      NULL },

    { ngx_string("brackwell_stamp_unsign"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_brackwell_stamp_loc_conf_t, unsign),
      NULL },

    { ngx_string("brackwell_stamp_link_key"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_brackwell_stamp_link_key,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("brackwell_stamp_edge"),
      NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_brackwell_stamp_edge,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("brackwell_stamp_edge_secret"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_brackwell_stamp_edge_secret,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_brackwell_stamp_module_ctx = {
    NULL,                                  /* preconfiguration */
    NULL,                                  /* postconfiguration */

    NULL,                                  /* create main configuration */
    NULL,                                  /* init main configuration */

    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */

    ngx_http_brackwell_stamp_create_loc_conf, /* create location configuration */
    ngx_http_brackwell_stamp_merge_loc_conf   /* merge location configuration */
};


ngx_module_t  ngx_http_brackwell_stamp_module = {
    NGX_MODULE_V1,
    &ngx_http_brackwell_stamp_module_ctx,  /* module context */
    ngx_http_brackwell_stamp_commands,     /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


static ngx_str_t  ngx_http_brackwell_stamp_type =
    ngx_string("application/x-apple-diskimage");
static ngx_str_t  ngx_http_brackwell_stamp_bytes_type =
    ngx_string("application/octet-stream");
static ngx_str_t  ngx_http_brackwell_stamp_no_prefix = ngx_string("");
static ngx_str_t  ngx_http_brackwell_stamp_recipe_prefix =
    ngx_string(NGX_HTTP_BRACKWELL_STAMP_RECIPE_PREFIX);


static ngx_int_t
ngx_http_brackwell_stamp_handler(ngx_http_request_t *r)
{
    time_t                            last_modified;
    ngx_int_t                         rc;
    brackwell_recipe                 *recipe;
    ngx_http_brackwell_stamp_file_t   image;

    rc = ngx_http_brackwell_stamp_get_or_head(r);

    if (rc != NGX_OK) {
        return rc;
    }

    rc = ngx_http_brackwell_stamp_prepare(r,
                                          &ngx_http_brackwell_stamp_no_prefix,
                                          &image, &last_modified, &recipe);

    if (rc != NGX_OK) {
        return rc;
    }

    return ngx_http_brackwell_stamp_send(r, &image, last_modified, recipe);
}


/*
 * The edge's recipe request: the secret, then what a download does (the
 * customer's link is the target behind /edge/recipe); the answer carries the
 * tail instead of the image.
 */

static ngx_int_t
ngx_http_brackwell_stamp_recipe_handler(ngx_http_request_t *r)
{
    time_t                                last_modified;
    ngx_int_t                             rc;
    brackwell_recipe                     *recipe;
    ngx_http_brackwell_stamp_file_t       image;
    ngx_http_brackwell_stamp_loc_conf_t  *bscf;

    rc = ngx_http_brackwell_stamp_get_or_head(r);

    if (rc != NGX_OK) {
        return rc;
    }

    bscf = ngx_http_get_module_loc_conf(r, ngx_http_brackwell_stamp_module);

    if (ngx_http_brackwell_stamp_check_secret(r, &bscf->edge_secret)
        != NGX_OK)
    {
        return NGX_HTTP_FORBIDDEN;
    }

    rc = ngx_http_brackwell_stamp_prepare(r,
                                      &ngx_http_brackwell_stamp_recipe_prefix,
                                      &image, &last_modified, &recipe);

    if (rc != NGX_OK) {
        return rc;
    }

    return ngx_http_brackwell_stamp_send_recipe(r, &image, last_modified,
                                                recipe);
}


/*
 * The edge's image request, for its cache: the secret, the image, the
 * version the edge's recipe named (so that a cached copy of one version is
 * never completed with bytes of another), then the file as the static
 * module sends it.
 */

static ngx_int_t
ngx_http_brackwell_stamp_image_handler(ngx_http_request_t *r)
{
    ngx_int_t                             rc;
    ngx_str_t                             version, asked;
    ngx_http_brackwell_stamp_file_t       image;
    ngx_http_brackwell_stamp_loc_conf_t  *bscf;

    rc = ngx_http_brackwell_stamp_get_or_head(r);

    if (rc != NGX_OK) {
        return rc;
    }

    bscf = ngx_http_get_module_loc_conf(r, ngx_http_brackwell_stamp_module);

    if (ngx_http_brackwell_stamp_check_secret(r, &bscf->edge_secret)
        != NGX_OK)
    {
        return NGX_HTTP_FORBIDDEN;
    }

    rc = ngx_http_brackwell_stamp_open(r, bscf->image, &image);

    if (rc != NGX_OK) {
        return rc;
    }

    if (ngx_http_brackwell_stamp_version(r, &image, &version) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ngx_http_arg(r, (u_char *) "v", 1, &asked) != NGX_OK
        || asked.len != version.len
        || ngx_strncmp(asked.data, version.data, version.len) != 0)
    {
        ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                      "brackwell_stamp: \"%s\" is at version %V, "
                      "not the one asked for", image.path.data, &version);
        return NGX_HTTP_PRECONDITION_FAILED;
    }

    return ngx_http_brackwell_stamp_send_image(r, &image, &version);
}


/* Every handler answers GET and HEAD alone, and reads no body. */

static ngx_int_t
ngx_http_brackwell_stamp_get_or_head(ngx_http_request_t *r)
{
    if (!(r->method & (NGX_HTTP_GET|NGX_HTTP_HEAD))) {
        return ngx_http_brackwell_stamp_not_allowed(r);
    }

    return ngx_http_discard_request_body(r);
}


/*
 * What a download and an edge's recipe request share: the link (after the
 * prefix), the image and the profile opened, the recipe, and the download's
 * Last-Modified. The profile's descriptor is closed here: it is all in the
 * tail now; the image is read while sending.
 */

static ngx_int_t
ngx_http_brackwell_stamp_prepare(ngx_http_request_t *r, ngx_str_t *prefix,
    ngx_http_brackwell_stamp_file_t *image, time_t *last_modified,
    brackwell_recipe **recipe)
{
    ngx_int_t                             rc;
    ngx_http_brackwell_stamp_file_t       profile;
    ngx_http_brackwell_stamp_loc_conf_t  *bscf;

    bscf = ngx_http_get_module_loc_conf(r, ngx_http_brackwell_stamp_module);

    /* the same answer for every reason: the reason is in the error log */

    if (ngx_http_brackwell_stamp_check_link(r, &bscf->link_key, prefix)
        != NGX_OK)
    {
        return NGX_HTTP_FORBIDDEN;
    }

    rc = ngx_http_brackwell_stamp_open(r, bscf->image, image);

    if (rc != NGX_OK) {
        return rc;
    }

    rc = ngx_http_brackwell_stamp_open(r, bscf->profile, &profile);

    if (rc != NGX_OK) {
        return rc;
    }

    rc = ngx_http_brackwell_stamp_make_recipe(r, image, &profile,
                                              bscf->unsign, recipe);

    if (rc != NGX_OK) {
        return rc;
    }

    ngx_pool_run_cleanup_file(r->pool, profile.fd);

    *last_modified = ngx_max(image->mtime, profile.mtime);

    return NGX_OK;
}


static ngx_int_t
ngx_http_brackwell_stamp_not_allowed(ngx_http_request_t *r)
{
    ngx_table_elt_t  *allow;

    allow = ngx_list_push(&r->headers_out.headers);
    if (allow == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    allow->hash = 1;
    ngx_str_set(&allow->key, "Allow");
    ngx_str_set(&allow->value, "GET, HEAD");

    return NGX_HTTP_NOT_ALLOWED;
}


/*
 * An edge request carries the edge's secret in exactly one
 * Brackwell-Edge-Secret header; anything else is refused before the request
 * is looked at any further. The comparison takes the same time whatever
 * bytes differ (only the secret's length shows).
 */

static ngx_int_t
ngx_http_brackwell_stamp_check_secret(ngx_http_request_t *r,
    ngx_str_t *secret)
{
    ngx_str_t         *value;
    ngx_uint_t         i, found;
    ngx_list_part_t   *part;
    ngx_table_elt_t   *h;

    static ngx_str_t   name = ngx_string("Brackwell-Edge-Secret");

    value = NULL;
    found = 0;
    part = &r->headers_in.headers.part;
    h = part->elts;

    for (i = 0; /* void */; i++) {

        if (i >= part->nelts) {
            if (part->next == NULL) {
                break;
            }

            part = part->next;
            h = part->elts;
            i = 0;
        }

        if (h[i].key.len == name.len
            && ngx_strncasecmp(h[i].key.data, name.data, name.len) == 0)
        {
            value = &h[i].value;
            found++;
        }
    }

    if (found != 1) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: edge request refused: %s",
                      found ? "more than one Brackwell-Edge-Secret"
                            : "no Brackwell-Edge-Secret");
        return NGX_DECLINED;
    }

    if (value->len != secret->len
        || CRYPTO_memcmp(value->data, secret->data, secret->len) != 0)
    {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: edge request refused: "
                      "wrong Brackwell-Edge-Secret");
        return NGX_DECLINED;
    }

    return NGX_OK;
}


/*
 * A link is /PATH?expires=E&signature=S, exactly these two parameters in
 * this order: E a Unix time in seconds, S the HMAC-SHA256 in lowercase hex,
 * keyed with the key file's content, of the request target as the client
 * sent it (not decoded) up to the end of E: "/PATH?expires=E". The target
 * is taken as sent so that the signer and this check see the same bytes;
 * and the path as sent must be the very path nginx matched the location
 * with (decoded and normalised), so that the names a link signs are the
 * names that are served, never another spelling of them.
 *
 * A prefix, when given, must start the target and is not signed: an edge's
 * recipe request is the customer's target behind /edge/recipe.
 */

static ngx_int_t
ngx_http_brackwell_stamp_check_link(ngx_http_request_t *r, ngx_str_t *key,
    ngx_str_t *prefix)
{
    u_char        *p, *last, *signed_start, *digits, *signature;
    time_t         expires;
    unsigned int   mac_len;
    const char    *reason;
    u_char         mac[EVP_MAX_MD_SIZE];
    u_char         expected[NGX_HTTP_BRACKWELL_STAMP_SIGNATURE_LENGTH];

    p = r->unparsed_uri.data;
    last = p + r->unparsed_uri.len;

    if ((size_t) (last - p) <= prefix->len
        || ngx_strncmp(p, prefix->data, prefix->len) != 0
        || p[prefix->len] != '/')
    {
        reason = "the target is not a path under the edge's prefix";
        goto refused;
    }

    signed_start = p + prefix->len;

    p = ngx_strlchr(p, last, '?');

    if (p == NULL) {
        reason = "no expires and signature";
        goto refused;
    }

    if ((size_t) (p - r->unparsed_uri.data) != r->uri.len
        || ngx_strncmp(r->unparsed_uri.data, r->uri.data, r->uri.len) != 0)
    {
        reason = "the path as sent is not the path served "
                 "(percent-encoded, dot segments, double slashes, a rewrite)";
        goto refused;
    }

    p++;

    if ((size_t) (last - p) < sizeof("expires=") - 1
        || ngx_strncmp(p, "expires=", sizeof("expires=") - 1) != 0)
    {
        reason = "no expires as its first parameter";
        goto refused;
    }

    p += sizeof("expires=") - 1;
    digits = p;

    while (p < last && *p >= '0' && *p <= '9') {
        p++;
    }

    if (p == digits
        || p - digits > NGX_HTTP_BRACKWELL_STAMP_MAX_EXPIRES_DIGITS)
    {
        reason = "expires is not a time in seconds";
        goto refused;
    }

    expires = ngx_atotm(digits, p - digits);

    if (expires == NGX_ERROR) {
        reason = "expires is not a time in seconds";
        goto refused;
    }

    /* the signed bytes: the target up to here */

    signature = p;

    if ((size_t) (last - signature)
            != sizeof("&signature=") - 1
               + NGX_HTTP_BRACKWELL_STAMP_SIGNATURE_LENGTH
        || ngx_strncmp(signature, "&signature=", sizeof("&signature=") - 1)
           != 0)
    {
        reason = "no signature of 64 hex digits as its second and last "
                 "parameter";
        goto refused;
    }

    for (p = signature + sizeof("&signature=") - 1; p < last; p++) {
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) {
            reason = "no signature of 64 hex digits as its second and last "
                     "parameter";
            goto refused;
        }
    }

    if (HMAC(EVP_sha256(), key->data, (int) key->len, signed_start,
             signature - signed_start, mac, &mac_len)
        == NULL
        || mac_len * 2 != NGX_HTTP_BRACKWELL_STAMP_SIGNATURE_LENGTH)
    {
        ngx_log_error(NGX_LOG_ALERT, r->connection->log, 0,
                      "brackwell_stamp: HMAC-SHA256 failed");
        return NGX_ERROR;
    }

    ngx_hex_dump(expected, mac, mac_len);

    if (CRYPTO_memcmp(expected, signature + sizeof("&signature=") - 1,
                      NGX_HTTP_BRACKWELL_STAMP_SIGNATURE_LENGTH)
        != 0)
    {
        reason = "wrong signature";
        goto refused;
    }

    if (expires < ngx_time()) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: link refused: expired %T s ago",
                      ngx_time() - expires);
        return NGX_DECLINED;
    }

    return NGX_OK;

refused:

    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "brackwell_stamp: link refused: %s", reason);

    return NGX_DECLINED;
}


/*
 * Opens the file the configured path leads to for this request: never
 * through a symbolic link at its last component (O_NOFOLLOW), never waiting
 * on a FIFO (O_NONBLOCK), and only a regular file, as fstat of the opened
 * descriptor says. The descriptor is closed by the request pool's cleanup.
 */

static ngx_int_t
ngx_http_brackwell_stamp_open(ngx_http_request_t *r,
    ngx_http_complex_value_t *cv, ngx_http_brackwell_stamp_file_t *file)
{
    u_char                    *p;
    ngx_err_t                  err;
    ngx_str_t                  value;
    ngx_file_info_t            fi;
    ngx_pool_cleanup_t        *cln;
    ngx_pool_cleanup_file_t   *clnf;
    ngx_http_core_loc_conf_t  *clcf;

    if (ngx_http_complex_value(r, cv, &value) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (value.len == 0 || ngx_strlchr(value.data, value.data + value.len, '\0')
                          != NULL)
    {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: the path \"%V\" names no file",
                      &value);
        return NGX_HTTP_NOT_FOUND;
    }

    file->path.len = value.len;
    file->path.data = ngx_pnalloc(r->pool, value.len + 1);
    if (file->path.data == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_memcpy(file->path.data, value.data, value.len);
    file->path.data[value.len] = '\0';

    p = file->path.data + file->path.len;

    while (p > file->path.data && p[-1] != '/') {
        p--;
    }

    file->name.data = p;
    file->name.len = file->path.data + file->path.len - p;

    cln = ngx_pool_cleanup_add(r->pool, sizeof(ngx_pool_cleanup_file_t));
    if (cln == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    file->fd = ngx_open_file(file->path.data,
                             NGX_FILE_RDONLY|NGX_FILE_NONBLOCK
                             |NGX_FILE_NOFOLLOW,
                             NGX_FILE_OPEN, 0);

    if (file->fd == NGX_INVALID_FILE) {
        err = ngx_errno;

        switch (err) {

        case NGX_ENOENT:
        case NGX_ENOTDIR:
        case NGX_ENAMETOOLONG:
            clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

            if (clcf->log_not_found) {
                ngx_log_error(NGX_LOG_ERR, r->connection->log, err,
                              "brackwell_stamp: " ngx_open_file_n
                              " \"%s\" failed", file->path.data);
            }

            return NGX_HTTP_NOT_FOUND;

        case NGX_ELOOP:
#if (NGX_FREEBSD)
        case NGX_EMLINK:
#endif
            ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                          "brackwell_stamp: refused \"%s\": "
                          "a symbolic link", file->path.data);
            return NGX_HTTP_NOT_FOUND;

        default:
            ngx_log_error(NGX_LOG_CRIT, r->connection->log, err,
                          "brackwell_stamp: " ngx_open_file_n
                          " \"%s\" failed", file->path.data);
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        }
    }

    clnf = cln->data;
    clnf->fd = file->fd;
    clnf->name = file->path.data;
    clnf->log = r->pool->log;
    cln->handler = ngx_pool_cleanup_file;

    if (ngx_fd_info(file->fd, &fi) == NGX_FILE_ERROR) {
        ngx_log_error(NGX_LOG_CRIT, r->connection->log, ngx_errno,
                      "brackwell_stamp: " ngx_fd_info_n " \"%s\" failed",
                      file->path.data);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (!ngx_is_file(&fi)) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: refused \"%s\": not a regular file",
                      file->path.data);
        return NGX_HTTP_NOT_FOUND;
    }

    file->mtime = ngx_file_mtime(&fi);
    file->size = ngx_file_size(&fi);
    file->mtime_nsec = fi.st_mtim.tv_nsec;  /* POSIX.1-2008 */

    return NGX_OK;
}


/*
 * The recipe for this download, worked out on the opened descriptors. A
 * refused or unreadable image is a 500 decided here, before any header.
 * The recipe lives as long as the request: its tail is sent from it.
 */

static ngx_int_t
ngx_http_brackwell_stamp_make_recipe(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image,
    ngx_http_brackwell_stamp_file_t *profile, ngx_uint_t unsign,
    brackwell_recipe **recipe)
{
    u_char                   *name;
    unsigned                  options;
    ngx_pool_cleanup_t       *cln;
    brackwell_recipe_status   status;
    char                      message[512];

    cln = ngx_pool_cleanup_add(r->pool, 0);
    if (cln == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    name = ngx_pnalloc(r->pool, image->name.len + 1);
    if (name == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_memcpy(name, image->name.data, image->name.len);
    name[image->name.len] = '\0';

    options = unsign ? BRACKWELL_RECIPE_UNSIGN : 0;

    status = brackwell_recipe_make(image->fd, profile->fd, options,
                                   (const char *) name, recipe,
                                   message, sizeof(message));

    if (status != BRACKWELL_RECIPE_OK) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: cannot stamp \"%s\" with \"%s\": %s",
                      image->path.data, profile->path.data, message);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    cln->handler = ngx_http_brackwell_stamp_free_recipe;
    cln->data = *recipe;

    if ((*recipe)->size > (uint64_t) NGX_MAX_OFF_T_VALUE) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "brackwell_stamp: \"%s\" stamped is too large",
                      image->path.data);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    return NGX_OK;
}


static void
ngx_http_brackwell_stamp_free_recipe(void *data)
{
    brackwell_recipe_free(data);
}


/*
 * The headers and the body: [0, keep) of the image's descriptor as a file
 * buffer, the tail as a memory buffer. Only a single range is served: the
 * range filter builds a multipart answer only from a body in one buffer, so
 * a request for several ranges gets the whole image with 200.
 */

static ngx_int_t
ngx_http_brackwell_stamp_send(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, time_t last_modified,
    brackwell_recipe *recipe)
{
    ngx_int_t     rc;
    ngx_buf_t    *file, *tail;
    ngx_chain_t   out[2], *first;

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = (off_t) recipe->size;
    r->headers_out.last_modified_time = last_modified;

    r->headers_out.content_type = ngx_http_brackwell_stamp_type;
    r->headers_out.content_type_len = ngx_http_brackwell_stamp_type.len;
    r->headers_out.content_type_lowcase = NULL;

    if (ngx_http_brackwell_stamp_set_etag(r, recipe) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ngx_http_brackwell_stamp_set_disposition(r, &image->name) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    r->allow_ranges = 1;
    r->single_range = 1;

    ngx_http_brackwell_stamp_preconditions(r);

    /* we need to allocate all before the header would be sent */

    file = ngx_calloc_buf(r->pool);
    if (file == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    file->file = ngx_pcalloc(r->pool, sizeof(ngx_file_t));
    if (file->file == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    tail = ngx_calloc_buf(r->pool);
    if (tail == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    file->file_pos = 0;
    file->file_last = (off_t) recipe->keep;
    file->in_file = 1;

    file->file->fd = image->fd;
    file->file->name = image->path;
    file->file->log = r->connection->log;

    /* the recipe's own memory, released by the pool's cleanup */

    tail->pos = (u_char *) recipe->tail;
    tail->last = tail->pos + recipe->tail_length;
    tail->memory = 1;
    tail->last_buf = (r == r->main) ? 1 : 0;
    tail->last_in_chain = 1;

    out[1].buf = tail;
    out[1].next = NULL;

    if (recipe->keep > 0) {
        out[0].buf = file;
        out[0].next = &out[1];
        first = &out[0];

    } else {
        first = &out[1];
    }

    return ngx_http_output_filter(r, first);
}


/*
 * The recipe for the edge: the tail as the body, and in headers what the
 * edge needs to answer the download as this server would: the download's
 * validator, Last-Modified and Content-Disposition, KEEP, the stamped size,
 * and the version of the image the edge is to fetch [0, KEEP) of. Nothing
 * of it is to be stored, and no filter answers a range or a condition of
 * it: the edge does, for the download.
 */

static ngx_int_t
ngx_http_brackwell_stamp_send_recipe(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, time_t last_modified,
    brackwell_recipe *recipe)
{
    ngx_int_t    rc;
    ngx_buf_t   *tail;
    ngx_str_t    version;
    ngx_chain_t  out;

    static ngx_str_t  no_store = ngx_string("no-store");

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = (off_t) recipe->tail_length;
    r->headers_out.last_modified_time = last_modified;

    r->headers_out.content_type = ngx_http_brackwell_stamp_bytes_type;
    r->headers_out.content_type_len = ngx_http_brackwell_stamp_bytes_type.len;
    r->headers_out.content_type_lowcase = NULL;

    if (ngx_http_brackwell_stamp_set_etag(r, recipe) != NGX_OK
        || ngx_http_brackwell_stamp_set_disposition(r, &image->name)
           != NGX_OK
        || ngx_http_brackwell_stamp_add_header(r, "Cache-Control", &no_store)
           != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ngx_http_brackwell_stamp_add_number(r, "Brackwell-Keep", recipe->keep)
        != NGX_OK
        || ngx_http_brackwell_stamp_add_number(r, "Brackwell-Size",
                                               recipe->size)
           != NGX_OK
        || ngx_http_brackwell_stamp_version(r, image, &version) != NGX_OK
        || ngx_http_brackwell_stamp_add_header(r, "Brackwell-Image-Version",
                                               &version)
           != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    r->allow_ranges = 0;
    r->disable_not_modified = 1;

    tail = ngx_calloc_buf(r->pool);
    if (tail == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    /* the recipe's own memory, released by the pool's cleanup */

    tail->pos = (u_char *) recipe->tail;
    tail->last = tail->pos + recipe->tail_length;
    tail->memory = 1;
    tail->last_buf = (r == r->main) ? 1 : 0;
    tail->last_in_chain = 1;

    out.buf = tail;
    out.next = NULL;

    return ngx_http_output_filter(r, &out);
}


/*
 * The image for the edge's cache, as ngx_http_static_module sends a file:
 * its own Last-Modified and ETag, ranges by nginx's range filter, the
 * version it was checked at in a header of its own.
 */

static ngx_int_t
ngx_http_brackwell_stamp_send_image(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, ngx_str_t *version)
{
    ngx_int_t     rc;
    ngx_buf_t    *b;
    ngx_chain_t   out;

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = image->size;
    r->headers_out.last_modified_time = image->mtime;

    r->headers_out.content_type = ngx_http_brackwell_stamp_bytes_type;
    r->headers_out.content_type_len = ngx_http_brackwell_stamp_bytes_type.len;
    r->headers_out.content_type_lowcase = NULL;

    if (ngx_http_set_etag(r) != NGX_OK
        || ngx_http_brackwell_stamp_add_header(r, "Brackwell-Image-Version",
                                               version)
           != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    r->allow_ranges = 1;

    b = ngx_calloc_buf(r->pool);
    if (b == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    b->file = ngx_pcalloc(r->pool, sizeof(ngx_file_t));
    if (b->file == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    b->file_pos = 0;
    b->file_last = image->size;

    b->in_file = b->file_last ? 1 : 0;
    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;

    b->file->fd = image->fd;
    b->file->name = image->path;
    b->file->log = r->connection->log;

    out.buf = b;
    out.next = NULL;

    return ngx_http_output_filter(r, &out);
}


/*
 * The image's version, as the edge names it in the image request: its
 * modification time to the nanosecond and its size. A file published by a
 * rename, or rewritten, has another; copies made with cp -p or rsync -t
 * have the same on every server.
 */

static ngx_int_t
ngx_http_brackwell_stamp_version(ngx_http_request_t *r,
    ngx_http_brackwell_stamp_file_t *image, ngx_str_t *version)
{
    version->data = ngx_pnalloc(r->pool,
                                NGX_HTTP_BRACKWELL_STAMP_VERSION_LENGTH);
    if (version->data == NULL) {
        return NGX_ERROR;
    }

    version->len = ngx_sprintf(version->data, "%T.%09l-%O", image->mtime,
                               image->mtime_nsec, image->size)
                   - version->data;

    return NGX_OK;
}


static ngx_int_t
ngx_http_brackwell_stamp_set_etag(ngx_http_request_t *r,
    brackwell_recipe *recipe)
{
    size_t            len;
    ngx_table_elt_t  *etag;

    etag = ngx_list_push(&r->headers_out.headers);
    if (etag == NULL) {
        return NGX_ERROR;
    }

    len = ngx_strlen(recipe->etag);

    etag->hash = 1;
    ngx_str_set(&etag->key, "ETag");
    etag->value.len = len;
    etag->value.data = ngx_pnalloc(r->pool, len);
    if (etag->value.data == NULL) {
        etag->hash = 0;
        return NGX_ERROR;
    }

    ngx_memcpy(etag->value.data, recipe->etag, len);

    r->headers_out.etag = etag;

    return NGX_OK;
}


static ngx_int_t
ngx_http_brackwell_stamp_add_number(ngx_http_request_t *r, char *key,
    uint64_t number)
{
    ngx_str_t  value;

    value.data = ngx_pnalloc(r->pool, NGX_INT64_LEN);
    if (value.data == NULL) {
        return NGX_ERROR;
    }

    value.len = ngx_sprintf(value.data, "%uL", number) - value.data;

    return ngx_http_brackwell_stamp_add_header(r, key, &value);
}


static ngx_int_t
ngx_http_brackwell_stamp_add_header(ngx_http_request_t *r, char *key,
    ngx_str_t *value)
{
    ngx_table_elt_t  *h;

    h = ngx_list_push(&r->headers_out.headers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    h->hash = 1;
    h->key.len = ngx_strlen(key);
    h->key.data = (u_char *) key;
    h->value = *value;

    return NGX_OK;
}


/*
 * nginx's not-modified and range filters decide the preconditions; two of
 * their answers are not what HTTP says (RFC 9110, 13.1.4 and 13.1.5), so
 * the request is told otherwise first. If-Unmodified-Since is ignored when
 * the request has If-Match or the value is not a date (nginx would answer
 * 412). An If-Range date never matches: a modification time in whole
 * seconds cannot tell apart two versions written within a second, which
 * would splice two images into one download; the entity tag can.
 */

static void
ngx_http_brackwell_stamp_preconditions(ngx_http_request_t *r)
{
    ngx_str_t  *value;

    if (r->headers_in.if_unmodified_since) {
        value = &r->headers_in.if_unmodified_since->value;

        if (r->headers_in.if_match
            || ngx_parse_http_time(value->data, value->len) == NGX_ERROR)
        {
            r->headers_in.if_unmodified_since = NULL;
        }
    }

    if (r->headers_in.if_range) {
        value = &r->headers_in.if_range->value;

        if (value->len < 2 || value->data[value->len - 1] != '"') {
            r->headers_in.range = NULL;
        }
    }
}


/*
 * Content-Disposition: attachment; filename="NAME", NAME the image's file
 * name. A name a quoted string would have to escape or could not carry
 * (quotes, backslashes, controls, bytes beyond ASCII) is left out: the
 * client then names the file after the link.
 */

static ngx_int_t
ngx_http_brackwell_stamp_set_disposition(ngx_http_request_t *r,
    ngx_str_t *name)
{
    u_char           *p, *last;
    ngx_table_elt_t  *h;

    h = ngx_list_push(&r->headers_out.headers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    h->hash = 1;
    ngx_str_set(&h->key, "Content-Disposition");
    ngx_str_set(&h->value, "attachment");

    last = name->data + name->len;

    for (p = name->data; p < last; p++) {
        if (*p < 0x20 || *p >= 0x7f || *p == '"' || *p == '\\') {
            return NGX_OK;
        }
    }

    h->value.len = sizeof("attachment; filename=\"\"") - 1 + name->len;
    h->value.data = ngx_pnalloc(r->pool, h->value.len);
    if (h->value.data == NULL) {
        h->hash = 0;
        return NGX_ERROR;
    }

    p = ngx_cpymem(h->value.data, "attachment; filename=\"",
                   sizeof("attachment; filename=\"") - 1);
    p = ngx_cpymem(p, name->data, name->len);
    *p = '"';

    return NGX_OK;
}


static char *
ngx_http_brackwell_stamp(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    return ngx_http_brackwell_stamp_set_handler(cf, conf,
                                            NGX_HTTP_BRACKWELL_STAMP_DOWNLOAD);
}


static char *
ngx_http_brackwell_stamp_edge(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_str_t  *value;

    value = cf->args->elts;

    if (ngx_strcmp(value[1].data, "recipe") == 0) {
        return ngx_http_brackwell_stamp_set_handler(cf, conf,
                                              NGX_HTTP_BRACKWELL_STAMP_RECIPE);
    }

    if (ngx_strcmp(value[1].data, "image") == 0) {
        return ngx_http_brackwell_stamp_set_handler(cf, conf,
                                               NGX_HTTP_BRACKWELL_STAMP_IMAGE);
    }

    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                       "invalid value \"%V\", it must be \"recipe\" or "
                       "\"image\"", &value[1]);

    return NGX_CONF_ERROR;
}


/* One handler per location: brackwell_stamp or brackwell_stamp_edge. */

static char *
ngx_http_brackwell_stamp_set_handler(ngx_conf_t *cf,
    ngx_http_brackwell_stamp_loc_conf_t *bscf, ngx_uint_t handler)
{
    ngx_http_core_loc_conf_t  *clcf;

    if (bscf->handler != NGX_HTTP_BRACKWELL_STAMP_OFF) {
        return "is duplicate";
    }

    bscf->handler = handler;
    bscf->handler_file = cf->conf_file->file.name;
    bscf->handler_line = cf->conf_file->line;

    clcf = ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);

    switch (handler) {

    case NGX_HTTP_BRACKWELL_STAMP_RECIPE:
        clcf->handler = ngx_http_brackwell_stamp_recipe_handler;
        break;

    case NGX_HTTP_BRACKWELL_STAMP_IMAGE:
        clcf->handler = ngx_http_brackwell_stamp_image_handler;
        break;

    default: /* NGX_HTTP_BRACKWELL_STAMP_DOWNLOAD */
        clcf->handler = ngx_http_brackwell_stamp_handler;
    }

    return NGX_CONF_OK;
}


/*
 * The key is read once, when the configuration is loaded (by the master
 * process, before it hands over to the workers), and forgotten with the
 * configuration.
 */

static char *
ngx_http_brackwell_stamp_link_key(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf)
{
    ngx_http_brackwell_stamp_loc_conf_t *bscf = conf;

    ngx_str_t  *value, path;

    if (bscf->link_key.data != NULL) {
        return "is duplicate";
    }

    value = cf->args->elts;

    return ngx_http_brackwell_stamp_read_secret(cf, "link key", &value[1],
                                                &bscf->link_key, &path);
}


/*
 * The edge's secret, read as the key is: one line of at least 32 visible
 * ASCII characters (a final newline is not part of it), as it travels in
 * the edge's Brackwell-Edge-Secret header.
 */

static char *
ngx_http_brackwell_stamp_edge_secret(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf)
{
    ngx_http_brackwell_stamp_loc_conf_t *bscf = conf;

    u_char     *p, *last;
    ngx_str_t  *value, path;

    if (bscf->edge_secret.data != NULL) {
        return "is duplicate";
    }

    value = cf->args->elts;

    if (ngx_http_brackwell_stamp_read_secret(cf, "edge secret", &value[1],
                                             &bscf->edge_secret, &path)
        != NGX_CONF_OK)
    {
        return NGX_CONF_ERROR;
    }

    last = bscf->edge_secret.data + bscf->edge_secret.len;

    if (last[-1] == LF) {
        last--;
    }

    for (p = bscf->edge_secret.data; p < last; p++) {
        if (*p < 0x21 || *p > 0x7e) {
            break;
        }
    }

    if (p < last
        || (size_t) (last - bscf->edge_secret.data)
           < NGX_HTTP_BRACKWELL_STAMP_MIN_KEY)
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "the edge secret \"%V\" must be one line of at "
                           "least %d visible ASCII characters",
                           &path, NGX_HTTP_BRACKWELL_STAMP_MIN_KEY);
        return NGX_CONF_ERROR;
    }

    bscf->edge_secret.len = last - bscf->edge_secret.data;

    return NGX_CONF_OK;
}


/*
 * Reads a regular file of NGX_HTTP_BRACKWELL_STAMP_MIN_KEY to
 * NGX_HTTP_BRACKWELL_STAMP_MAX_KEY bytes into memory that is wiped when the
 * configuration is released; *full is the path it was read from.
 */

static char *
ngx_http_brackwell_stamp_read_secret(ngx_conf_t *cf, char *what,
    ngx_str_t *name, ngx_str_t *secret, ngx_str_t *full)
{
    off_t                size;
    ssize_t              n;
    ngx_fd_t             fd;
    ngx_str_t            path;
    ngx_file_info_t      fi;
    ngx_pool_cleanup_t  *cln;

    path = *name;

    if (ngx_conf_full_name(cf->cycle, &path, 1) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    fd = ngx_open_file(path.data, NGX_FILE_RDONLY|NGX_FILE_NONBLOCK,
                       NGX_FILE_OPEN, 0);
    if (fd == NGX_INVALID_FILE) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           ngx_open_file_n " \"%s\" failed", path.data);
        return NGX_CONF_ERROR;
    }

    if (ngx_fd_info(fd, &fi) == NGX_FILE_ERROR) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                           ngx_fd_info_n " \"%s\" failed", path.data);
        goto failed;
    }

    size = ngx_file_size(&fi);

    if (!ngx_is_file(&fi)
        || size < NGX_HTTP_BRACKWELL_STAMP_MIN_KEY
        || size > NGX_HTTP_BRACKWELL_STAMP_MAX_KEY)
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "the %s \"%s\" must be a regular file of "
                           "%d to %d bytes", what, path.data,
                           NGX_HTTP_BRACKWELL_STAMP_MIN_KEY,
                           NGX_HTTP_BRACKWELL_STAMP_MAX_KEY);
        goto failed;
    }

    cln = ngx_pool_cleanup_add(cf->pool, 0);
    if (cln == NULL) {
        goto failed;
    }

    secret->data = ngx_pnalloc(cf->pool, (size_t) size);
    if (secret->data == NULL) {
        goto failed;
    }

    secret->len = (size_t) size;
    cln->handler = ngx_http_brackwell_stamp_forget_key;
    cln->data = secret;

    n = ngx_read_fd(fd, secret->data, (size_t) size);

    if (n != (ssize_t) size) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, (n == -1) ? ngx_errno : 0,
                           ngx_read_fd_n " \"%s\" returned %z bytes of %O",
                           path.data, n, size);
        goto failed;
    }

    ngx_close_file(fd);

    *full = path;

    return NGX_CONF_OK;

failed:

    ngx_close_file(fd);

    return NGX_CONF_ERROR;
}


static void
ngx_http_brackwell_stamp_forget_key(void *data)
{
    ngx_str_t  *key = data;

    ngx_explicit_memzero(key->data, key->len);
}


static void *
ngx_http_brackwell_stamp_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_brackwell_stamp_loc_conf_t  *conf;

    conf = ngx_pcalloc(cf->pool, sizeof(ngx_http_brackwell_stamp_loc_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    /*
     * set by ngx_pcalloc():
     *
     *     conf->handler = NGX_HTTP_BRACKWELL_STAMP_OFF;
     *     conf->handler_file = { 0, NULL };
     *     conf->handler_line = 0;
     *     conf->link_key = { 0, NULL };
     *     conf->edge_secret = { 0, NULL };
     */

    conf->image = NGX_CONF_UNSET_PTR;
    conf->profile = NGX_CONF_UNSET_PTR;
    conf->unsign = NGX_CONF_UNSET;

    return conf;
}


static char *
ngx_http_brackwell_stamp_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child)
{
    ngx_http_brackwell_stamp_loc_conf_t *prev = parent;
    ngx_http_brackwell_stamp_loc_conf_t *conf = child;

    const char  *missing, *directive;

    ngx_conf_merge_ptr_value(conf->image, prev->image, NULL);
    ngx_conf_merge_ptr_value(conf->profile, prev->profile, NULL);
    ngx_conf_merge_value(conf->unsign, prev->unsign, 0);

    if (conf->link_key.data == NULL) {
        conf->link_key = prev->link_key;
    }

    if (conf->edge_secret.data == NULL) {
        conf->edge_secret = prev->edge_secret;
    }

    switch (conf->handler) {

    case NGX_HTTP_BRACKWELL_STAMP_OFF:
        return NGX_CONF_OK;

    case NGX_HTTP_BRACKWELL_STAMP_DOWNLOAD:
        directive = "brackwell_stamp";
        break;

    default:
        directive = "brackwell_stamp_edge";
    }

    /* an image request needs neither a profile nor a link */

    if (conf->image == NULL) {
        missing = "brackwell_stamp_image";

    } else if (conf->handler != NGX_HTTP_BRACKWELL_STAMP_DOWNLOAD
               && conf->edge_secret.data == NULL)
    {
        missing = "brackwell_stamp_edge_secret";

    } else if (conf->handler != NGX_HTTP_BRACKWELL_STAMP_IMAGE
               && conf->profile == NULL)
    {
        missing = "brackwell_stamp_profile";

    } else if (conf->handler != NGX_HTTP_BRACKWELL_STAMP_IMAGE
               && conf->link_key.data == NULL)
    {
        missing = "brackwell_stamp_link_key";

    } else {
        return NGX_CONF_OK;
    }

    /* told at the location's handler, not where merging happens */

    ngx_log_error(NGX_LOG_EMERG, cf->log, 0,
                  "\"%s\" needs \"%s\" in %V:%ui",
                  directive, missing, &conf->handler_file,
                  conf->handler_line);

    return NGX_CONF_ERROR;
}
