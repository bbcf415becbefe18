#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace kw::testing {

// What the FileSystem contract needs from a platform besides the implementation under test:
// a folder of the test's own, and a way to set files up and look at them that does not go
// through the implementation. Paths are Windows paths below Root(), mapped exactly as written
// (no letter-case matching). The helpers throw (any exception) when they cannot do their job.
class FileSystemDriver {
 public:
  virtual ~FileSystemDriver() = default;

  // The implementation under test.
  virtual FileSystem& files() = 0;

  // An empty folder of this test's own, as a Windows path without a trailing separator
  // ("C:\Test", "C:\users\me\Temp\kw-1234"); every path the suite uses is below it. On
  // Windows it is on the real drive; elsewhere on the drive the implementation maps.
  virtual std::string Root() = 0;

  // Writes a file, creating the folders above it.
  virtual void Write(std::string_view path, std::string_view content) = 0;
  // Creates a folder and the folders above it.
  virtual void MakeFolder(std::string_view path) = 0;
  virtual std::string Read(std::string_view path) = 0;
  // The names of a folder's entries, hidden ones included, in byte order.
  virtual std::vector<std::string> List(std::string_view folder) = 0;

  // Creates in `parent` a hidden file (or, with `as_folder`, a hidden folder) named after
  // `name` as this file system names hidden entries, and returns the name it got: POSIX hides
  // names that start with a dot, Windows has an attribute.
  virtual std::string AddHidden(std::string_view parent, std::string_view name, bool as_folder) = 0;

  // Keeps a file open as another program can: nobody else may read, write, replace or delete
  // it while the driver lives. False where the platform has no such thing (POSIX); the cases
  // that need it are then skipped.
  virtual bool Hold(std::string_view path) = 0;
};

// One implementation of the seam, as an instantiation names it:
//
//   INSTANTIATE_TEST_SUITE_P(Posix, FileSystemContract,
//                            ::testing::Values(FileSystemImplementation{"PosixFileSystem",
//                                                                       &MakePosixDriver}),
//                            FileSystemImplementation::Name);
struct FileSystemImplementation {
  std::string name;
  // A new driver, for one test.
  std::function<std::unique_ptr<FileSystemDriver>()> make;

  static std::string Name(const ::testing::TestParamInfo<FileSystemImplementation>& info) {
    return info.param.name;
  }
};

inline void PrintTo(const FileSystemImplementation& implementation, std::ostream* out) {
  *out << implementation.name;
}

class FileSystemContract : public ::testing::TestWithParam<FileSystemImplementation> {
 protected:
  void SetUp() override;

  // `relative` below the root: At("App\\KW.exe").
  std::string At(std::string_view relative) const;
  FileSystem& files() { return driver_->files(); }
  FileSystemDriver& driver() { return *driver_; }

 private:
  std::unique_ptr<FileSystemDriver> driver_;
  std::string root_;
};

}  // namespace kw::testing
