#include "support/temp_drive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace kw::testing {

namespace fs = std::filesystem;

namespace {

// Removal needs write and search permission on every folder, even ones a test made read-only.
void MakeFoldersWritable(const fs::path& folder) {
  chmod(folder.c_str(), 0700);
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) MakeFoldersWritable(it->path());
  }
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_value_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_value_) {
    setenv(name_.c_str(), old_value_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

TempDrive::TempDrive() {
  std::string folder = (fs::temp_directory_path() / "kw_drive_XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder in " +
                             fs::temp_directory_path().string());
  }
  prefix_ = folder;
  fs::create_directory(prefix_ / "drive_c");
  wineprefix_.emplace("WINEPREFIX", prefix_.string());
}

TempDrive::~TempDrive() {
  wineprefix_.reset();
  MakeFoldersWritable(prefix_);
  std::error_code ignored;
  fs::remove_all(prefix_, ignored);
}

fs::path TempDrive::Host(std::string_view windows_path) const {
  if (windows_path.size() < 2 || windows_path[1] != ':') {
    throw std::runtime_error("not a Windows path with a drive: " + std::string(windows_path));
  }
  const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(windows_path[0])));
  fs::path host =
      drive == 'c' ? prefix_ / "drive_c" : prefix_ / "dosdevices" / std::string{drive, ':'};
  std::string_view rest = windows_path.substr(2);
  while (!rest.empty()) {
    const std::size_t separator = rest.find_first_of("\\/");
    const std::string_view component = rest.substr(0, separator);
    if (!component.empty()) host /= component;
    if (separator == rest.npos) break;
    rest.remove_prefix(separator + 1);
  }
  return host;
}

void TempDrive::Write(std::string_view windows_path, std::string_view content) const {
  const fs::path host = Host(windows_path);
  fs::create_directories(host.parent_path());
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + host.string());
}

std::string TempDrive::Read(std::string_view windows_path) const {
  const fs::path host = Host(windows_path);
  std::ifstream in(host, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + host.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void TempDrive::MakeFolder(std::string_view windows_path) const {
  fs::create_directories(Host(windows_path));
}

bool TempDrive::HostExists(std::string_view windows_path) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(Host(windows_path), ignored));
}

std::vector<std::string> TempDrive::List(std::string_view windows_folder) const {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(Host(windows_folder))) {
    names.push_back(entry.path().filename().string());
  }
  std::ranges::sort(names);
  return names;
}

}  // namespace kw::testing
