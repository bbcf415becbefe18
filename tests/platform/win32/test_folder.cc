#include "test_folder.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"

namespace kw::testing {

namespace {

namespace fs = std::filesystem;

std::runtime_error LastError(std::string_view what, std::string_view path) {
  return std::runtime_error(std::string(what) + " " + std::string(path) + ": " +
                            SystemMessage(::GetLastError()));
}

fs::path ParentOf(std::string_view path) { return fs::path(Widen(path)).parent_path(); }

}  // namespace

void WriteFileAt(std::string_view path, std::string_view content, DWORD attributes) {
  fs::create_directories(ParentOf(path));
  const UniqueFileHandle file(::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, attributes, nullptr));
  DWORD written = 0;
  if (!file || !::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                            &written, nullptr)) {
    throw LastError("cannot write", path);
  }
}

std::string ReadFileAt(std::string_view path) {
  const UniqueFileHandle file(::CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) throw LastError("cannot read", path);
  std::string content;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
    content.append(chunk, got);
  }
  return content;
}

void MakeFolderAt(std::string_view path, DWORD attributes) {
  fs::create_directories(fs::path(Widen(path)));
  if (!::SetFileAttributesW(Widen(path).c_str(), attributes)) throw LastError("cannot make", path);
}

std::vector<std::string> ListFolderAt(std::string_view path) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(Widen(path)))) {
    names.push_back(Narrow(entry.path().filename().native()));
  }
  std::ranges::sort(names);
  return names;
}

TestFolder::TestFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  static int count = 0;
  path_ = Narrow(std::wstring_view(temp, length)) + "kw-test-" +
          std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++count);
  if (!::CreateDirectoryW(Widen(path_).c_str(), nullptr)) throw LastError("cannot create", path_);
}

TestFolder::~TestFolder() {
  // Removal fails on read-only entries.
  std::error_code error;
  for (fs::recursive_directory_iterator it(Widen(path_), error), end; !error && it != end;
       it.increment(error)) {
    ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  fs::remove_all(Widen(path_), error);
}

std::string TestFolder::operator/(std::string_view relative) const {
  return path_ + "\\" + std::string(relative);
}

std::string BesideThisProgram(std::string_view file_name) {
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::string path = Narrow(std::wstring_view(self, length));
  return path.substr(0, path.find_last_of('\\') + 1) + std::string(file_name);
}

}  // namespace kw::testing
