
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


typedef struct {
    ngx_flag_t                  enable;
    ngx_str_t                   enable_file;   /* where brackwell_stamp is */
    ngx_uint_t                  enable_line;
    ngx_http_complex_value_t   *image;
    ngx_http_complex_value_t   *profile;
    ngx_flag_t                  unsign;
    ngx_str_t                   link_key;
} ngx_http_brackwell_stamp_loc_conf_t;


/* One of the two files a download is made of, opened for this request. */
typedef struct {
    ngx_str_t                   path;      /* NUL-terminated */
    ngx_str_t                   name;      /* the last component of path */
    ngx_fd_t                    fd;
    time_t                      mtime;
} ngx_http_brackwell_stamp_file_t;


static ngx_int_t ngx_http_brackwell_stamp_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_not_allowed(ngx_http_request_t *r);
static ngx_int_t ngx_http_brackwell_stamp_check_link(ngx_http_request_t *r,
    ngx_str_t *key);
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
static ngx_int_t ngx_http_brackwell_stamp_set_disposition(
    ngx_http_request_t *r, ngx_str_t *name);
static void ngx_http_brackwell_stamp_preconditions(ngx_http_request_t *r);

static char *ngx_http_brackwell_stamp(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_brackwell_stamp_link_key(ngx_conf_t *cf,
    ngx_command_t *cmd, void *conf);
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


static ngx_int_t
ngx_http_brackwell_stamp_handler(ngx_http_request_t *r)
{
    time_t                                last_modified;
    ngx_int_t                             rc;
    brackwell_recipe                     *recipe;
    ngx_http_brackwell_stamp_file_t       image, profile;
    ngx_http_brackwell_stamp_loc_conf_t  *bscf;

    if (!(r->method & (NGX_HTTP_GET|NGX_HTTP_HEAD))) {
        return ngx_http_brackwell_stamp_not_allowed(r);
    }

    rc = ngx_http_discard_request_body(r);

    if (rc != NGX_OK) {
        return rc;
    }

    bscf = ngx_http_get_module_loc_conf(r, ngx_http_brackwell_stamp_module);

    /* the same answer for every reason: the reason is in the error log */

    if (ngx_http_brackwell_stamp_check_link(r, &bscf->link_key) != NGX_OK) {
        return NGX_HTTP_FORBIDDEN;
    }

    rc = ngx_http_brackwell_stamp_open(r, bscf->image, &image);

    if (rc != NGX_OK) {
        return rc;
    }

    rc = ngx_http_brackwell_stamp_open(r, bscf->profile, &profile);

    if (rc != NGX_OK) {
        return rc;
    }

    rc = ngx_http_brackwell_stamp_make_recipe(r, &image, &profile,
                                              bscf->unsign, &recipe);

    if (rc != NGX_OK) {
        return rc;
    }

    /* the profile is all in the tail now; the image is read while sending */

    ngx_pool_run_cleanup_file(r->pool, profile.fd);

    last_modified = ngx_max(image.mtime, profile.mtime);

    return ngx_http_brackwell_stamp_send(r, &image, last_modified, recipe);
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
 * A link is /PATH?expires=E&signature=S, exactly these two parameters in
 * this order: E a Unix time in seconds, S the HMAC-SHA256 in lowercase hex,
 * keyed with the key file's content, of the request target as the client
 * sent it (not decoded) up to the end of E: "/PATH?expires=E". The target
 * is taken as sent so that the signer and this check see the same bytes;
 * and the path as sent must be the very path nginx matched the location
 * with (decoded and normalised), so that the names a link signs are the
 * names that are served, never another spelling of them.
 */

static ngx_int_t
ngx_http_brackwell_stamp_check_link(ngx_http_request_t *r, ngx_str_t *key)
{
    u_char        *p, *last, *digits, *signature;
    time_t         expires;
    unsigned int   mac_len;
    const char    *reason;
    u_char         mac[EVP_MAX_MD_SIZE];
    u_char         expected[NGX_HTTP_BRACKWELL_STAMP_SIGNATURE_LENGTH];

    p = r->unparsed_uri.data;
    last = p + r->unparsed_uri.len;

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

    if (HMAC(EVP_sha256(), key->data, (int) key->len, r->unparsed_uri.data,
             signature - r->unparsed_uri.data, mac, &mac_len)
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
    size_t            len;
    ngx_int_t         rc;
    ngx_buf_t        *file, *tail;
    ngx_chain_t       out[2], *first;
    ngx_table_elt_t  *etag;

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = (off_t) recipe->size;
    r->headers_out.last_modified_time = last_modified;

    r->headers_out.content_type = ngx_http_brackwell_stamp_type;
    r->headers_out.content_type_len = ngx_http_brackwell_stamp_type.len;
    r->headers_out.content_type_lowcase = NULL;

    etag = ngx_list_push(&r->headers_out.headers);
    if (etag == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    len = ngx_strlen(recipe->etag);

    etag->hash = 1;
    ngx_str_set(&etag->key, "ETag");
    etag->value.len = len;
    etag->value.data = ngx_pnalloc(r->pool, len);
    if (etag->value.data == NULL) {
        etag->hash = 0;
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_memcpy(etag->value.data, recipe->etag, len);

    r->headers_out.etag = etag;

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
    ngx_http_brackwell_stamp_loc_conf_t *bscf = conf;

    ngx_http_core_loc_conf_t  *clcf;

    if (bscf->enable) {
        return "is duplicate";
    }

    bscf->enable = 1;
    bscf->enable_file = cf->conf_file->file.name;
    bscf->enable_line = cf->conf_file->line;

    clcf = ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);
    clcf->handler = ngx_http_brackwell_stamp_handler;

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

    off_t                size;
    ssize_t              n;
    ngx_fd_t             fd;
    ngx_str_t           *value, path;
    ngx_file_info_t      fi;
    ngx_pool_cleanup_t  *cln;

    if (bscf->link_key.data != NULL) {
        return "is duplicate";
    }

    value = cf->args->elts;
    path = value[1];

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
                           "the link key \"%s\" must be a regular file of "
                           "%d to %d bytes", path.data,
                           NGX_HTTP_BRACKWELL_STAMP_MIN_KEY,
                           NGX_HTTP_BRACKWELL_STAMP_MAX_KEY);
        goto failed;
    }

    cln = ngx_pool_cleanup_add(cf->pool, 0);
    if (cln == NULL) {
        goto failed;
    }

    bscf->link_key.data = ngx_pnalloc(cf->pool, (size_t) size);
    if (bscf->link_key.data == NULL) {
        goto failed;
    }

    bscf->link_key.len = (size_t) size;
    cln->handler = ngx_http_brackwell_stamp_forget_key;
    cln->data = &bscf->link_key;

    n = ngx_read_fd(fd, bscf->link_key.data, (size_t) size);

    if (n != (ssize_t) size) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, (n == -1) ? ngx_errno : 0,
                           ngx_read_fd_n " \"%s\" returned %z bytes of %O",
                           path.data, n, size);
        goto failed;
    }

    ngx_close_file(fd);

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
     *     conf->enable = 0;
     *     conf->enable_file = { 0, NULL };
     *     conf->enable_line = 0;
     *     conf->link_key = { 0, NULL };
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

    const char  *missing;

    ngx_conf_merge_ptr_value(conf->image, prev->image, NULL);
    ngx_conf_merge_ptr_value(conf->profile, prev->profile, NULL);
    ngx_conf_merge_value(conf->unsign, prev->unsign, 0);

    if (conf->link_key.data == NULL) {
        conf->link_key = prev->link_key;
    }

    if (!conf->enable) {
        return NGX_CONF_OK;
    }

    if (conf->image == NULL) {
        missing = "brackwell_stamp_image";

    } else if (conf->profile == NULL) {
        missing = "brackwell_stamp_profile";

    } else if (conf->link_key.data == NULL) {
        missing = "brackwell_stamp_link_key";

    } else {
        return NGX_CONF_OK;
    }

    /* told at the location's brackwell_stamp, not where merging happens */

    ngx_log_error(NGX_LOG_EMERG, cf->log, 0,
                  "\"brackwell_stamp\" needs \"%s\" in %V:%ui",
                  missing, &conf->enable_file, conf->enable_line);

    return NGX_CONF_ERROR;
}
