#pragma once

#include <array>
#include <string>
#include <string_view>

#include "update/product.h"

namespace kw {

// The updater's folder settings. They carry no trailing backslash: every path is a setting
// followed by a suffix that begins with one.
struct FolderSettings {
  std::string AppDir;       // application folder, the install root
  std::string BackupDir;    // root of the staging tree and home of the executable backups
  std::string MainExeName;  // the product's main executable
  std::string SubExeName;   // the product's second executable
};

// The values the window gives its settings when it loads.
FolderSettings StartUpFolderSettings();

// A list of file names with slots numbered 1 to 1000; the empty text marks an empty slot.
// Every walk visits all 1000 slots in ascending order and skips the empty ones.
class FileList {
 public:
  static constexpr int kFirstSlot = 1;
  static constexpr int kLastSlot = 1000;

  // `slot` must lie in 1..1000.
  const std::string& operator[](int slot) const { return slots_.at(slot - kFirstSlot); }
  void Set(int slot, std::string name) { slots_.at(slot - kFirstSlot) = std::move(name); }

 private:
  std::array<std::string, kLastSlot> slots_;
};

// The lists, in the order in which a full update fetches and installs them.
enum class ListId { kRoot, kData, kFont, kImage };

// Every file a full update downloads and installs.
struct FileCatalogue {
  FileList RootFileList;
  FileList DataFileList;
  FileList FontFileList;
  FileList ImageFileList;

  const FileList& List(ListId id) const;
  FileList& List(ListId id);
};

// Empties every slot, then fills the lists from slot 1 with the product's files.
void BuildFileCatalogue(FileCatalogue& catalogue);

// Where a source of files comes from and goes to. Folders are suffixes of the settings:
// the staging folder follows BackupDir, the install folder AppDir.
struct Route {
  std::string_view step_caption;    // shown while its files are fetched
  std::string_view server_path;     // follows the server's address (BaseAddress)
  std::string_view staging_folder;  // follows BackupDir
  std::string_view install_folder;  // follows AppDir
};

// The two executables: fetched from the server into BackupDir, installed into AppDir.
inline constexpr Route kExecutableRoute{"", "/jdatas3", "", ""};

struct ListRoute {
  ListId list;
  Route route;
};

// The four lists, in order.
inline constexpr std::array<ListRoute, 4> kListRoutes = {{
    {ListId::kRoot, {"DownLoad(TavKorea)", "/tavkorea", "\\Update", ""}},
    {ListId::kData, {"DownLoad(TavKorea\\Data)", "/tavkorea/data", "\\Update\\Data", "\\Data"}},
    {ListId::kFont, {"DownLoad(TavKorea\\Font)", "/tavkorea/font", "\\Update\\Font", "\\Font"}},
    {ListId::kImage,
     {"DownLoad(TavKorea\\Image)", "/tavkorea/image", "\\Update\\Image", "\\Image"}},
}};

// The server's root, where a signed release keeps its manifest.
inline constexpr Route kServerRootRoute{"", "", "", ""};

// The paths of a route: each is built here and nowhere else.
// The route's folder on the server: `host` as built ("https://host[:port]", or a bare
// "host[:port]", which is plain http) as an address, then the release folder of a signed
// release ("/releases/2.51"; none for a build without signed releases), then the route's path.
std::string BaseAddress(std::string_view host, const Route& route,
                        std::string_view release_folder = {});
std::string StagingFolder(const FolderSettings& settings, const Route& route);
std::string InstallFolder(const FolderSettings& settings, const Route& route);
// Where a file of the route is staged, under its stored name.
std::string StagedPath(const FolderSettings& settings, const Route& route, std::string_view name);
// Where it is installed, under its installed name (see InstalledName).
std::string InstalledPath(const FolderSettings& settings, const Route& route,
                          std::string_view name);

// The name a file is installed under. A stored name whose last three characters are one of
// "BA$", "Ba$", "ba$", "TX$", "Tx$", "tx$" (exactly, case included) gets "BAT", "Bat", "bat",
// "TXT", "Txt", "txt" in their place; every other name stays as it is, "$" included.
std::string InstalledName(std::string_view stored_name);

}  // namespace kw
