// Writes a sample release of the product into a folder laid out as the update server serves it:
// jdatas3/ holds the two executables, tavkorea/ and its data/, font/ and image/ folders hold
// every file of the catalogue under its stored name. The post-install batch file records that
// it ran in C:\TavKorea\KW_Update.log. Contents are made up, but sized like real files and
// different for every file, so that a run shows real progress and a wrong file is noticed.
//
//   make_sample_release <folder> [--small]
//
// --small writes files of a few hundred bytes, for tests that fetch the whole catalogue.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "update/catalogue.h"

namespace {

namespace fs = std::filesystem;

// The batch file the updater starts when a run is complete.
constexpr std::string_view kUpdateBatch =
    "@echo off\r\n"
    "rem Runs after every update of the application.\r\n"
    "echo Update complete>> C:\\TavKorea\\KW_Update.log\r\n";

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// A size that looks like the kind of file, between `low` and `high` bytes.
std::uint64_t SizeFor(std::string_view name, std::uint64_t low, std::uint64_t high) {
  return low + Fnv1a(name) % (high - low + 1);
}

void WriteFile(const fs::path& path, std::string_view name, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  // A header that says what the file is, then bytes that depend on the name.
  const std::string header = "Orvanta sample release: " + std::string(name) + "\r\n";
  out.write(header.data(),
            static_cast<std::streamsize>(std::min<std::uint64_t>(size, header.size())));
  std::uint64_t state = Fnv1a(name) | 1;
  std::string block(64 * 1024, '\0');
  for (std::uint64_t left = size > header.size() ? size - header.size() : 0; left > 0;) {
    for (char& c : block) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      c = static_cast<char>(state);
    }
    const std::uint64_t n = std::min<std::uint64_t>(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && std::string_view(argv[2]) != "--small")) {
    std::cerr << "usage: make_sample_release <folder> [--small]\n";
    return 2;
  }
  const fs::path root = argv[1];
  const bool small = argc == 3;
  const auto size = [small](std::string_view name, std::uint64_t low, std::uint64_t high) {
    return small ? SizeFor(name, 100, 900) : SizeFor(name, low, high);
  };

  try {
    kw::FileCatalogue catalogue;
    kw::BuildFileCatalogue(catalogue);

    const fs::path executables = root / "jdatas3";
    fs::create_directories(executables);
    WriteFile(executables / kw::kMainExeFile, kw::kMainExeFile,
              size(kw::kMainExeFile, 3 << 20, 5 << 20));
    WriteFile(executables / kw::kSubExeFile, kw::kSubExeFile,
              size(kw::kSubExeFile, 1 << 20, 2 << 20));

    for (const kw::ListRoute& list_route : kw::kListRoutes) {
      const fs::path folder = root / std::string(list_route.route.server_path).substr(1);
      fs::create_directories(folder);
      const kw::FileList& list = catalogue.List(list_route.list);
      for (int slot = kw::FileList::kFirstSlot; slot <= kw::FileList::kLastSlot; ++slot) {
        const std::string& name = list[slot];
        if (name.empty()) continue;
        if (kw::InstalledName(name) == "KW_Update.Bat") {
          std::ofstream(folder / name, std::ios::binary) << kUpdateBatch;
        } else {
          WriteFile(folder / name, name, size(name, 20 << 10, 400 << 10));
        }
      }
    }
  } catch (const std::exception& failure) {
    std::cerr << "make_sample_release: " << failure.what() << "\n";
    return 1;
  }
  return 0;
}
