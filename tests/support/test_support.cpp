#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>

namespace testsupport {

Bytes toBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

TempDir::TempDir(const std::string& prefix) {
  const std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  // A test may have made directories read-only, or the run under test may
  // have left files it could not clean up: make each directory ours again,
  // then remove the lot. Never through a symbolic link.
  std::error_code error;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               error);
  for (auto entry = std::filesystem::recursive_directory_iterator(path_, error);
       !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
    if (entry->is_directory(error) && !entry->is_symlink(error)) {
      std::filesystem::permissions(entry->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
    }
  }
  std::filesystem::remove_all(path_, error);
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  // Block reads: byte-wise iterators take seconds for a few megabytes in a
  // sanitized Debug build.
  Bytes bytes;
  std::vector<char> buffer(1 << 16);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + in.gcount());
  }
  return bytes;
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

namespace {

// The system's attribute calls with the arguments both systems share (macOS
// adds a position and options: 0 for both).
#if defined(__APPLE__)
ssize_t listAttributes(const std::string& path, char* names, std::size_t size) {
  return listxattr(path.c_str(), names, size, 0);
}
ssize_t getAttribute(const std::string& path, const std::string& name, char* value, std::size_t size) {
  return getxattr(path.c_str(), name.c_str(), value, size, 0, 0);
}
int setAttribute(const std::string& path, const std::string& name, const std::string& value) {
  return setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0, 0);
}
#else
ssize_t listAttributes(const std::string& path, char* names, std::size_t size) {
  return listxattr(path.c_str(), names, size);
}
ssize_t getAttribute(const std::string& path, const std::string& name, char* value, std::size_t size) {
  return getxattr(path.c_str(), name.c_str(), value, size);
}
int setAttribute(const std::string& path, const std::string& name, const std::string& value) {
  return setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0);
}
#endif

} // namespace

bool setExtendedAttribute(const std::string& path, const std::string& name, const std::string& value) {
  return setAttribute(path, name, value) == 0;
}

std::map<std::string, std::string> extendedAttributes(const std::string& path) {
  std::map<std::string, std::string> all;
  std::vector<char> names(static_cast<std::size_t>(std::max<ssize_t>(listAttributes(path, nullptr, 0), 0)));
  const ssize_t listed = listAttributes(path, names.data(), names.size());
  for (std::size_t at = 0; listed > 0 && at < static_cast<std::size_t>(listed);) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    std::string value(static_cast<std::size_t>(std::max<ssize_t>(getAttribute(path, name, nullptr, 0), 0)),
                      '\0');
    if (getAttribute(path, name, value.data(), value.size()) >= 0) {
      all[name] = value;
    }
  }
  return all;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

std::string expandDir(std::string text, const TempDir& dir) {
  replaceAll(text, "{DIR}", dir.path());
  return text;
}

CoutRedirect::CoutRedirect(std::streambuf* buffer) : saved_(std::cout.rdbuf(buffer)) {}

CoutRedirect::~CoutRedirect() {
  std::cout.rdbuf(saved_);
}

std::string realdataDir() {
  std::error_code error;
  const std::string dir = BRACKWELL_REALDATA_DIR;
  return !dir.empty() && std::filesystem::is_directory(dir, error) ? dir : std::string();
}

std::vector<std::string> realdataFiles(const std::string& subdir) {
  std::vector<std::string> files;
  const std::string base = realdataDir();
  if (base.empty()) {
    return files;
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base + "/" + subdir, error)) {
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

} // namespace testsupport
