#include "platform/win32/win32_processes.h"

#include "platform/win32/windows_api.h"
// After windows_api.h: it needs windows.h first.
#include <tlhelp32.h>

#include <string>

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

// The folder part of a path, keeping the separator of a drive's root ("C:\").
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  return path.substr(0, separator == 2 ? 3 : separator);
}

}  // namespace

std::vector<RunningProcess> Win32Processes::Running() {
  const UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    throw Failure(error::kProcessList,
                  "Cannot read the list of running processes: " + SystemMessage(::GetLastError()));
  }
  std::vector<RunningProcess> processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    processes.push_back({entry.th32ProcessID, {Narrow(entry.szExeFile)}});
  }
  return processes;
}

std::int64_t Win32Processes::CurrentId() { return ::GetCurrentProcessId(); }

bool Win32Processes::End(std::int64_t id) {
  if (id <= 0 || id > MAXDWORD || id == ::GetCurrentProcessId()) return false;
  const UniqueKernelHandle process(
      ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
  // A process that has ended stays open while anyone holds a handle to it, and Wine lets it be
  // "ended" again.
  return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT &&
         ::TerminateProcess(process.get(), 1);
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
