/*
 * The recipe of a stamped image, for code written in C (the nginx module).
 *
 * A stamped image is the image's own bytes [0, keep) followed by a tail:
 * the profile, its 16-byte descriptor and the 512-byte trailer (with its
 * code-signature fields cleared when the signature is taken off). These
 * are exactly the bytes `brackwell-stamp write IMAGE PROFILE --out -`
 * writes (with --unsign when BRACKWELL_RECIPE_UNSIGN is given), worked out
 * without writing any of them, so a server can send the image's part from
 * the file itself (sendfile) and the tail from memory.
 *
 * Nothing here throws: every failure is a status and a message. Everything
 * a call allocates is released by brackwell_recipe_free. The calls read the
 * two descriptors with pread and never move their offsets, keep no state
 * between calls and may run in several threads at once.
 */
#ifndef BRACKWELL_STAMP_RECIPE_C_H
#define BRACKWELL_STAMP_RECIPE_C_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Options of brackwell_recipe_make, or-ed together. */
#define BRACKWELL_RECIPE_UNSIGN 0x1u  /* take a code signature off, as --unsign */
#define BRACKWELL_RECIPE_REPLACE 0x2u /* swap a profile already there, as --replace */

typedef enum {
  BRACKWELL_RECIPE_OK = 0,
  /* The image is refused as it is: no trailer, signature fields that do
   * not fit, a signature without BRACKWELL_RECIPE_UNSIGN, a profile
   * already there without BRACKWELL_RECIPE_REPLACE, a damaged
   * descriptor, a profile longer than its 32-bit length field. */
  BRACKWELL_RECIPE_REFUSED = 1,
  /* Reading the image or the profile failed (an I/O error, a file that
   * is not a regular file). */
  BRACKWELL_RECIPE_UNREADABLE = 2,
  /* Not enough memory for the tail. */
  BRACKWELL_RECIPE_NO_MEMORY = 3
} brackwell_recipe_status;

/* The validator's length without its NUL: "\"bw1-" 16 hex digits "\"". */
#define BRACKWELL_RECIPE_ETAG_LENGTH 22

typedef struct {
  uint64_t keep;             /* the image's bytes [0, keep), as they are */
  const unsigned char* tail; /* then these bytes */
  size_t tail_length;
  uint64_t size; /* keep + tail_length: the stamped image's size */
  /* The stamped image's validator, a strong HTTP entity tag in double
   * quotes, NUL-terminated: the one `--dry-run --json` prints. */
  char etag[BRACKWELL_RECIPE_ETAG_LENGTH + 1];
} brackwell_recipe;

/*
 * Works out the recipe for stamping the profile (all bytes of the regular
 * file open at profile_fd) into the regular file open at image_fd. The
 * image's size and modification time are taken from fstat(image_fd), so a
 * server that sends [0, keep) from image_fd sends the version the recipe
 * describes. image_name names the image in messages (a file name, not
 * necessarily a path).
 *
 * On BRACKWELL_RECIPE_OK, *recipe points to a recipe to release with
 * brackwell_recipe_free. Otherwise *recipe is NULL and, when message_size
 * is above 0, message holds why (NUL-terminated, cut to message_size).
 */
brackwell_recipe_status brackwell_recipe_make(int image_fd, int profile_fd, unsigned options,
                                              const char* image_name, brackwell_recipe** recipe,
                                              char* message, size_t message_size);

/* Releases what brackwell_recipe_make allocated; NULL is allowed. */
void brackwell_recipe_free(brackwell_recipe* recipe);

#ifdef __cplusplus
}
#endif

#endif
