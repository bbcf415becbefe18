#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/windows_api.h"

namespace kw::testing {

// A fresh folder of its own under the user's temporary folder, for one test of the real file
// system; destruction removes it with all it holds, read-only and hidden entries included.
// Paths are Windows paths in UTF-8. Failures of the helpers throw std::runtime_error.
class TestFolder {
 public:
  TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;
  ~TestFolder();

  // The folder's full path, without a trailing separator.
  const std::string& path() const { return path_; }
  // The full path of `relative` inside the folder.
  std::string operator/(std::string_view relative) const;

  // Writes a file (its folder must exist) and gives it `attributes`.
  void Write(std::string_view relative, std::string_view content,
             DWORD attributes = FILE_ATTRIBUTE_NORMAL) const;
  std::string Read(std::string_view relative) const;
  void MakeFolder(std::string_view relative, DWORD attributes = FILE_ATTRIBUTE_NORMAL) const;
  // The names in a folder ("" for the test folder itself), hidden ones included, sorted.
  std::vector<std::string> List(std::string_view relative = "") const;

 private:
  std::string path_;
};

// The full path of a program built beside the running test program.
std::string BesideThisProgram(std::string_view file_name);

}  // namespace kw::testing
