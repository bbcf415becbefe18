// The drive in memory that the core's tests run on keeps the FileSystem contract, as the real
// file systems do.

#include "support/memory_file_system.h"

#include "platform/contract/file_system_contract.h"

namespace kw::testing {
namespace {

class MemoryDriver final : public FileSystemDriver {
 public:
  FileSystem& files() override { return drive_; }
  std::string Root() override {
    drive_.MakeFolder("C:\\Test");
    return "C:\\Test";
  }
  void Write(std::string_view path, std::string_view content) override {
    drive_.Write(path, content);
  }
  void MakeFolder(std::string_view path) override { drive_.MakeFolder(path); }
  std::string Read(std::string_view path) override { return drive_.Read(path); }
  std::vector<std::string> List(std::string_view folder) override { return drive_.List(folder); }
  std::string AddHidden(std::string_view parent, std::string_view name, bool as_folder) override {
    const std::string path = std::string(parent) + "\\" + std::string(name);
    if (as_folder) {
      drive_.MakeFolder(path);
    } else {
      drive_.Write(path, "");
    }
    drive_.Hide(path);
    return std::string(name);
  }
  bool Hold(std::string_view path) override {
    drive_.Hold(path);
    return true;
  }

 private:
  MemoryFileSystem drive_;
};

INSTANTIATE_TEST_SUITE_P(Memory, FileSystemContract,
                         ::testing::Values(FileSystemImplementation{
                             "MemoryFileSystem", [] { return std::make_unique<MemoryDriver>(); }}),
                         FileSystemImplementation::Name);

}  // namespace
}  // namespace kw::testing
