#include "app/file_probe.h"

#include <sys/stat.h>

bool is_regular_file(std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0xF000) == 0x8000;
}
