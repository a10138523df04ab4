// The C interface over the recipe (recipe_c.h). Nothing may leave it as an
// exception: a C caller (an nginx worker) cannot catch one, and one lost
// there ends every download the worker serves. Every failure becomes a
// status and a message.
#include "stamp/recipe_c.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <type_traits>
#include <vector>

#include "fileio/result.h"
#include "stamp/recipe.h"

namespace {

using stamp::Failure;

// What brackwell_recipe_make hands out: the C struct first, so that a
// pointer to it is a pointer to the whole (both are standard-layout), and
// the tail's owner beside it.
struct Allocation {
  brackwell_recipe recipe;
  std::vector<std::uint8_t>* tail;
};
static_assert(std::is_standard_layout<Allocation>::value, "the C struct must start the allocation");

brackwell_recipe_status statusOf(Failure failure) {
  switch (failure) {
  case Failure::no_trailer:
  case Failure::bad_signature:
  case Failure::signed_image:
  case Failure::profile_present:
  case Failure::damaged_descriptor:
  case Failure::profile_too_long:
    return BRACKWELL_RECIPE_REFUSED;
  case Failure::out_of_memory:
    return BRACKWELL_RECIPE_NO_MEMORY;
  case Failure::image_unreadable:
  case Failure::not_a_regular_file:
  case Failure::profile_unreadable:
    return BRACKWELL_RECIPE_UNREADABLE;
  // A recipe for a write ends with none of these: they belong to other
  // operations and to the outputs. Should one come, the image was not
  // readable as asked.
  case Failure::not_signed:
  case Failure::no_profile:
  case Failure::output_is_image:
  case Failure::output_unusable:
  case Failure::path_refused:
  case Failure::image_locked:
  case Failure::write_failed:
  case Failure::image_changed:
  case Failure::range_unsatisfiable:
  case Failure::etag_mismatch:
    return BRACKWELL_RECIPE_UNREADABLE;
  }
  return BRACKWELL_RECIPE_UNREADABLE;
}

// Copies `text` into the caller's buffer of `size` bytes, cut to fit and
// NUL-terminated; nothing when there is no room at all.
void tell(const char* text, char* message, std::size_t size) {
  if (message == nullptr || size == 0) {
    return;
  }
  const std::size_t length = std::min(std::strlen(text), size - 1);
  std::memcpy(message, text, length);
  message[length] = '\0';
}

brackwell_recipe_status make(int image_fd, int profile_fd, unsigned options, const char* image_name,
                             brackwell_recipe** out, char* message, std::size_t message_size) {
  if (out == nullptr) {
    tell("no place for the recipe was given", message, message_size);
    return BRACKWELL_RECIPE_UNREADABLE;
  }
  stamp::ImageFile image;
  image.fd = image_fd;
  image.name = image_name != nullptr ? image_name : "the image";
  if (fstat(image_fd, &image.version) != 0) {
    const int code = errno;
    tell(fileio::systemError("cannot examine image " + fileio::quoted(image.name), code).message.c_str(),
         message, message_size);
    return BRACKWELL_RECIPE_UNREADABLE;
  }
  if (!S_ISREG(image.version.st_mode)) {
    tell((fileio::quoted(image.name) + " is not a regular file").c_str(), message, message_size);
    return BRACKWELL_RECIPE_UNREADABLE;
  }
  auto recipe =
      stamp::makeRecipe(image, stamp::Operation::write, (options & BRACKWELL_RECIPE_REPLACE) != 0,
                        (options & BRACKWELL_RECIPE_UNSIGN) != 0, profile_fd, stamp::ProfileRead::whole_file);
  if (!recipe) {
    tell(recipe.error().message.c_str(), message, message_size);
    return statusOf(recipe.error().failure);
  }
  auto tail = std::make_unique<std::vector<std::uint8_t>>(std::move(recipe->tail));
  auto allocation = std::make_unique<Allocation>();
  brackwell_recipe& made = allocation->recipe;
  made.keep = recipe->keep();
  made.tail = tail->data();
  made.tail_length = tail->size();
  made.size = recipe->size;
  const std::size_t etagLength = std::min<std::size_t>(recipe->etag.size(), BRACKWELL_RECIPE_ETAG_LENGTH);
  std::memcpy(made.etag, recipe->etag.data(), etagLength);
  made.etag[etagLength] = '\0';
  allocation->tail = tail.release();
  allocation.release();
  *out = &made;
  return BRACKWELL_RECIPE_OK;
}

} // namespace

extern "C" brackwell_recipe_status brackwell_recipe_make(int image_fd, int profile_fd, unsigned options,
                                                         const char* image_name, brackwell_recipe** recipe,
                                                         char* message, size_t message_size) {
  if (recipe != nullptr) {
    *recipe = nullptr;
  }
  try {
    return make(image_fd, profile_fd, options, image_name, recipe, message, message_size);
  } catch (const std::bad_alloc&) {
    tell("not enough memory for the recipe", message, message_size);
    return BRACKWELL_RECIPE_NO_MEMORY;
  } catch (const std::length_error&) {
    tell("not enough memory for the recipe", message, message_size);
    return BRACKWELL_RECIPE_NO_MEMORY;
  } catch (const std::exception& failure) {
    tell(failure.what(), message, message_size);
    return BRACKWELL_RECIPE_UNREADABLE;
  } catch (...) {
    tell("the recipe failed for an unknown reason", message, message_size);
    return BRACKWELL_RECIPE_UNREADABLE;
  }
}

extern "C" void brackwell_recipe_free(brackwell_recipe* recipe) {
  if (recipe == nullptr) {
    return;
  }
  auto* allocation = reinterpret_cast<Allocation*>(recipe);
  delete allocation->tail;
  delete allocation;
}
