#pragma once

#include <string>

// True only when `path` names an existing regular file, following symbolic
// links. A path that cannot be examined is not a regular file. `path` is not
// changed.
bool is_regular_file(std::string& path);
