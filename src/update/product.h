#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The product's version, from the build (the CMake project's version).
#include "product_version.h"

namespace kw {

// The facts of the product this program updates, and of the program itself: every name, account
// and fixed text that is not a control of the window or a route of the catalogue stands here.

// The application folder and the staging folder, as the window sets them when it loads.
inline constexpr std::string_view kAppDir = "C:\\TavKorea";
inline constexpr std::string_view kBackupDir = "C:\\TavBackup";

// The product's two executables. A run ends the programs and fetches the files under these
// names, which equal the MainExeName and SubExeName settings but are not read from them.
inline constexpr std::string_view kMainExeFile = "KW.exe";
inline constexpr std::string_view kSubExeFile = "KZ.exe";

// The backup copies the run start keeps of the executables the previous run downloaded.
inline constexpr std::string_view kMainBackupFile = "KW_Bak.exe";
inline constexpr std::string_view kSubBackupFile = "KZ_Bak.exe";

// The batch file started after every completed installation: in kAppDir, a fixed path that does
// not follow the AppDir setting.
inline constexpr std::string_view kBatchFileName = "KW_Update.Bat";
inline std::string BatchFilePath() {
  return std::string(kAppDir) + "\\" + std::string(kBatchFileName);
}

// Where a build that checks signed releases keeps the manifest it accepted last, in BackupDir:
// a release older than that one is refused.
inline constexpr std::string_view kManifestRecordFile = "KW_Update.manifest";

// The account the transfer control is given at the log-in; sent only in answer to a challenge.
inline constexpr std::string_view kUserName = "tav";
inline constexpr std::string_view kPassword = "R6150384";

// How a download asks for its file, and the size of the chunks it reads the body in.
inline constexpr std::string_view kRequestHeaders = "FSize in Bytes: 0\r\n";
inline constexpr std::int16_t kChunkSize = 1024;

// The window's caption, and the title of the program's message boxes.
inline constexpr std::string_view kWindowCaption =
    "Orvanta(iii) for Windows ( Update ) v" KW_PRODUCT_VERSION;
inline constexpr std::string_view kAppTitle = "KW_Update";

}  // namespace kw
