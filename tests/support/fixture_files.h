#pragma once

// Reading what a test's server fixture left on disk, with the standard library only, so that
// the tests of every platform can use it.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kw::testing {

// The whole content of `path`; empty when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The value a fixture wrote to the file `name` of its state folder, without the line's end.
inline std::string FixtureValue(const std::filesystem::path& state_folder, const char* name) {
  std::string value = ReadWholeFile(state_folder / name);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

// The base64 body of a PEM file (a fixture's public key), as a build reads it from its key file.
inline std::string PemBody(const std::filesystem::path& path) {
  std::istringstream lines(ReadWholeFile(path));
  std::string body;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("-----")) body += line;
  }
  return body;
}

}  // namespace kw::testing
