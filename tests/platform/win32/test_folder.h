#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/windows_api.h"

namespace kw::testing {

// Files set up and looked at without the file system under test. Paths are full Windows paths
// in UTF-8; what they write gets the folders above it. Failures throw std::runtime_error.
void WriteFileAt(std::string_view path, std::string_view content,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL);
std::string ReadFileAt(std::string_view path);
void MakeFolderAt(std::string_view path, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
// The names in a folder, hidden ones included, sorted by their bytes.
std::vector<std::string> ListFolderAt(std::string_view path);

// A fresh folder of its own under the user's temporary folder, for one test of the real file
// system; destruction removes it with all it holds, read-only and hidden entries included.
// Its helpers take paths relative to it.
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

  void Write(std::string_view relative, std::string_view content,
             DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
    WriteFileAt(*this / relative, content, attributes);
  }
  std::string Read(std::string_view relative) const { return ReadFileAt(*this / relative); }
  void MakeFolder(std::string_view relative, DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
    MakeFolderAt(*this / relative, attributes);
  }
  // "" lists the test folder itself.
  std::vector<std::string> List(std::string_view relative = "") const {
    return ListFolderAt(relative.empty() ? path_ : *this / relative);
  }

 private:
  std::string path_;
};

// The full path of a program built beside the running test program.
std::string BesideThisProgram(std::string_view file_name);

}  // namespace kw::testing
