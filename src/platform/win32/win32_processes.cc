#include "platform/win32/win32_processes.h"

#include "platform/win32/windows_api.h"
// After windows_api.h: it needs windows.h first.
#include <tlhelp32.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/failure.h"
#include "platform/win32/system_message.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_handles.h"

namespace kw {

namespace {

// The command interpreter, by its full path, so that no cmd.exe in the working folder or on
// the PATH is taken for it.
std::wstring CommandInterpreter() {
  wchar_t buffer[MAX_PATH];
  DWORD length = ::GetEnvironmentVariableW(L"ComSpec", buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return std::wstring(buffer, length);
  length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, length < MAX_PATH ? length : 0) + L"\\cmd.exe";
}

// The exit code an ended process leaves, as a program that failed would.
constexpr UINT kEndedExitCode = 1;

// The file name of the process's executable, or nullopt when it cannot be read.
std::optional<std::string> ImageName(HANDLE process) {
  wchar_t path[MAX_PATH];
  DWORD size = MAX_PATH;
  if (!::QueryFullProcessImageNameW(process, 0, path, &size)) return std::nullopt;
  const std::wstring_view full(path, size);
  return Narrow(full.substr(full.find_last_of(L"\\/") + 1));
}

// The folder part of a path, keeping the separator of a drive's root ("C:\").
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  return path.substr(0, separator == 2 ? 3 : separator);
}

}  // namespace

int Win32Processes::EndProcesses(const std::function<bool(const RunningProcess&)>& select) {
  const UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    throw Failure(error::kProcessList,
                  "Cannot read the list of running processes: " + SystemMessage(::GetLastError()));
  }
  const DWORD self = ::GetCurrentProcessId();
  int ended = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self) continue;
    // The handle comes before the name: while it is open the id cannot pass to another
    // process, so the name read through it is the name of the process it ends.
    const UniqueKernelHandle process(
        ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                      entry.th32ProcessID));
    if (!process) continue;
    const std::optional<std::string> name = ImageName(process.get());
    // An ended process stays open while handles to it are; Wine lets it be "ended" again.
    if (!name || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
    if (!select(RunningProcess{entry.th32ProcessID, {*name}})) continue;
    if (::TerminateProcess(process.get(), kEndedExitCode)) ++ended;
  }
  return ended;
}

void Win32Processes::StartBatchFile(std::string_view path) {
  const std::wstring batch_file = Widen(path);
  // The interpreter starts whether or not the batch file is there, and would only say so in
  // its own window.
  const DWORD attributes = ::GetFileAttributesW(batch_file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    const DWORD error =
        attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_FILE_NOT_FOUND;
    throw Failure(error == ERROR_PATH_NOT_FOUND ? error::kPathNotFound : error::kFileNotFound,
                  "Cannot start the batch file " + std::string(path) + ": " + SystemMessage(error));
  }

  const std::wstring interpreter = CommandInterpreter();
  // With /s the interpreter drops the outer quotes and keeps the inner ones, so a path with
  // blanks or "&" stays one name.
  std::wstring command_line = L"\"" + interpreter + L"\" /s /c \"\"" + batch_file + L"\"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started{};
  const std::wstring folder = FolderOf(batch_file);
  if (!::CreateProcessW(interpreter.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE, nullptr, folder.empty() ? nullptr : folder.c_str(),
                        &startup, &started)) {
    throw Failure(error::kCannotStart, "Cannot start the command interpreter " +
                                           Narrow(interpreter) + " for the batch file " +
                                           std::string(path) + ": " +
                                           SystemMessage(::GetLastError()));
  }
  const UniqueKernelHandle process(started.hProcess);
  const UniqueKernelHandle thread(started.hThread);
}

}  // namespace kw
