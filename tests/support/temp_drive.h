#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw::testing {

// Sets an environment variable (or unsets it, for nullopt) for as long as it lives, and puts
// back the value it found.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> old_value_;
};

// A Wine prefix of its own for one test: a fresh temporary folder with drive_c in it, and
// WINEPREFIX pointing at it. Destruction puts WINEPREFIX back and removes the folder with all
// it holds, read-only folders included. Failures of the helpers throw std::runtime_error.
class TempDrive {
 public:
  TempDrive();
  TempDrive(const TempDrive&) = delete;
  TempDrive& operator=(const TempDrive&) = delete;
  ~TempDrive();

  const std::filesystem::path& prefix() const { return prefix_; }

  // The host path of a Windows path, mapped exactly as written (no letter-case matching):
  // C:\a\b is <prefix>/drive_c/a/b, X:\a is <prefix>/dosdevices/x:/a.
  std::filesystem::path Host(std::string_view windows_path) const;

  // Writes a file, creating the folders above it.
  void Write(std::string_view windows_path, std::string_view content) const;
  std::string Read(std::string_view windows_path) const;
  // Creates a folder and the folders above it.
  void MakeFolder(std::string_view windows_path) const;
  bool HostExists(std::string_view windows_path) const;
  // The names in a folder, hidden ones included, sorted.
  std::vector<std::string> List(std::string_view windows_folder) const;

 private:
  std::filesystem::path prefix_;
  std::optional<ScopedEnv> wineprefix_;
};

}  // namespace kw::testing
