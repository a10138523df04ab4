// Throughput of the two listing parsers and of the package-path matcher, on
// realistic inputs and on the shapes a damaged or hostile listing can take.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tinyxml2.h>

#include "app/package_path.h"
#include "inventory/image_info.h"
#include "registry.h"
#include "support/listings.h"
#include "support/test_support.h"

namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

using Text = std::shared_ptr<const std::string>;

// `unit` repeated up to exactly `size` bytes.
std::string repeated(const std::string& unit, std::size_t size) {
  std::string text;
  text.reserve(size + unit.size());
  while (text.size() < size) {
    text += unit;
  }
  text.resize(size);
  return text;
}

// `count` lines of `line` each.
std::string lines(const std::string& line, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += line;
    text += '\n';
  }
  return text;
}

void setSize(benchmark::State& state, const std::string& input) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
  state.counters["input_bytes"] = static_cast<double>(input.size());
}

void aliasTable(benchmark::State& state, const Text& listing) {
  for (auto _ : state) {
    const auto aliases = getImageAliases(*listing);
    benchmark::DoNotOptimize(aliases.size());
  }
  setSize(state, *listing);
}

void propertyList(benchmark::State& state, const Text& plist) {
  const testsupport::SilencedCout silenced;
  for (auto _ : state) {
    const auto infos = getImageInfoFromPlist(*plist);
    benchmark::DoNotOptimize(infos.data());
  }
  setSize(state, *plist);
}

// tinyxml2 alone on the same text, the way getImageInfoFromPlist sets it up:
// the least the property-list parser can cost.
void xmlOnly(benchmark::State& state, const Text& plist) {
  for (auto _ : state) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    benchmark::DoNotOptimize(doc.Parse(plist->data(), plist->size()));
  }
  setSize(state, *plist);
}

void packagePath(benchmark::State& state, const Text& path) {
  for (auto _ : state) {
    const auto match = matchPackagePath(*path);
    benchmark::DoNotOptimize(match);
  }
  setSize(state, *path);
}

void add(const std::string& name, void (*run)(benchmark::State&, const Text&), std::string input,
         double images = 0) {
  const Text text = std::make_shared<const std::string>(std::move(input));
  auto* bench = benchmark::RegisterBenchmark(name.c_str(), [run, text, images](benchmark::State& state) {
    run(state, text);
    if (images > 0) {
      state.counters["images"] = images;
    }
  });
  bench->Unit(benchmark::kMicrosecond);
}

// A property list of one image whose path is `path`, mounted at /Volumes/Setup.
std::string plistWithPath(const std::string& path) {
  return testsupport::plistListing({{path, path, {"/Volumes/Setup"}}});
}

// The property-list parser and, beside it, tinyxml2 alone on the same text.
void addPlist(const std::string& shape, const std::string& plist, double images) {
  add("plist/" + shape, propertyList, plist, images);
  add("tinyxml2_only/" + shape, xmlOnly, plist, images);
}

} // namespace

void registerParsing() {
  for (const int count : {1, 10, 100, 1000}) {
    const auto images = testsupport::realisticImages(count);
    add("aliases/realistic/images:" + std::to_string(count), aliasTable, testsupport::textListing(images),
        count);
    addPlist("realistic/images:" + std::to_string(count), testsupport::plistListing(images), count);
  }

  // The text listing as a damaged or hostile utility could print it. Each
  // input is 4 MiB.
  const std::string noSeparator = repeated("x", MiB);
  const std::string spacedColons = repeated(" : ", MiB);
  add("aliases/adversarial/1MiB_lines_without_separator", aliasTable, lines(noSeparator, 4));
  add("aliases/adversarial/1MiB_lines_of_words_without_colon", aliasTable,
      lines(repeated("image path ", MiB), 4));
  add("aliases/adversarial/1MiB_lines_full_of_space_colon_space", aliasTable, lines(spacedColons, 4));
  // A line break right after the start of the key rules out every colon, so
  // each one of them is examined.
  add("aliases/adversarial/1MiB_lines_of_space_colon_space_none_matching", aliasTable,
      lines("ab\r" + spacedColons + "x", 4));
  add("aliases/adversarial/short_lines_full_of_space_colon_space", aliasTable,
      repeated(" : : : : : : : : : : : : : : : : : : :\n", 4 * MiB));

  // The property list with such text where a path belongs, on one line, or
  // with a megabyte of unrelated keys in front of the one that is looked up.
  addPlist("adversarial/1MiB_path_without_separator", plistWithPath(noSeparator), 1);
  addPlist("adversarial/1MiB_path_full_of_space_colon_space", plistWithPath(spacedColons), 1);
  const std::string oneLine = testsupport::plistListing(testsupport::realisticImages(1000));
  std::string joined;
  for (const char c : oneLine) {
    if (c != '\n' && c != '\t') {
      joined += c;
    }
  }
  addPlist("adversarial/1000_images_on_one_line", joined, 1000);
  std::string manyKeys = plistWithPath("/Users/jdoe/Downloads/Setup.dmg");
  const std::string padding = repeated("<key>x-unrelated</key><string>value</string>", MiB);
  manyKeys.insert(manyKeys.find("<key>image-path</key>"), padding);
  addPlist("adversarial/1MiB_of_keys_before_image_path", manyKeys, 1);

  // Package paths from an ordinary one to 128 KiB: nested folders, and a
  // name without any separator after the volume prefix, which the matcher
  // has to search to its start.
  for (const std::size_t size : {100u, 1024u, 4096u, 16384u, 65536u, 131072u}) {
    const std::string tail = "/Install.pkg";
    const std::string nested = "/Volumes/Setup/" + repeated("Folder/", size - 15 - tail.size()) + tail;
    add("package_path/nested/bytes:" + std::to_string(size), packagePath, nested);
    add("package_path/no_separator/bytes:" + std::to_string(size), packagePath,
        "/Volumes/" + repeated("x", size - 9));
  }
}
