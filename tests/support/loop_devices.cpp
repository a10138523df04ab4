#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "support/test_support.h"

namespace testsupport {

namespace {

// A path as one word for sh: single-quoted, its own single quotes escaped.
std::string shellWord(const std::string& text) {
  std::string word = "'";
  for (const char c : text) {
    word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return word + "'";
}

// Runs `command` through sh, with its standard error going along with its
// standard output into `output`; true when it exits 0.
bool shell(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    output = std::strerror(errno);
    return false;
  }
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  return pclose(pipe) == 0;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

} // namespace

LoopDevice::LoopDevice(const std::string& file) {
  if (geteuid() != 0) {
    why_ = "attaching a loop device needs root";
    return;
  }
  std::string output;
  if (!shell("losetup --find --show --read-only " + shellWord(file), output)) {
    why_ = "losetup failed: " + trimmed(output);
    return;
  }
  device_ = trimmed(output);
}

LoopDevice::~LoopDevice() {
  std::string output;
  if (!device_.empty()) {
    shell("losetup --detach " + shellWord(device_), output);
  }
}

LoopMount::LoopMount(const std::string& mkfs, const std::string& image, std::uint64_t size,
                     const std::string& mountPoint)
    : mountPoint_(mountPoint) {
  if (geteuid() != 0) {
    why_ = "mounting a file system needs root";
    return;
  }
  std::error_code error;
  writeFile(image, Bytes{});
  std::filesystem::resize_file(image, size, error);
  if (error) {
    why_ = "cannot make " + image + " " + std::to_string(size) + " bytes long: " + error.message();
    return;
  }
  std::string output;
  if (!shell(mkfs + " " + shellWord(image), output)) {
    why_ = "'" + mkfs + "' failed: " + trimmed(output);
    return;
  }
  // The loop device goes with the unmount.
  if (!shell("mount -o loop " + shellWord(image) + " " + shellWord(mountPoint), output)) {
    why_ = "mount failed: " + trimmed(output);
    return;
  }
  mounted_ = true;
}

LoopMount::~LoopMount() {
  std::string output;
  if (mounted_) {
    shell("umount " + shellWord(mountPoint_), output);
  }
}

} // namespace testsupport
