// Commands in job objects: which job belongs to which child.
#include "platform/win/prc_win.h"
#include "platform/process.h"

#include "platform/console.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

// From here on the names are the system's calls.
#undef CreateProcessA
#undef TerminateProcess
#undef CloseHandle

namespace {

// The job of each child whose process handle is still open. A handful at most: the watcher
// runs one command at a time. The console's control handler reads them from a thread of its own.
std::vector<std::pair<HANDLE, HANDLE>> jobs;
CRITICAL_SECTION jobs_cs;
struct jobs_cs_ini {
  jobs_cs_ini() { InitializeCriticalSection(&jobs_cs); }
} jobs_cs_once;

struct jobs_lck {
  jobs_lck() { EnterCriticalSection(&jobs_cs); }
  ~jobs_lck() { LeaveCriticalSection(&jobs_cs); }
};

HANDLE job_of(HANDLE prc) {
  jobs_lck l;
  for (const auto& [p, j] : jobs)
    if (p == prc) return j;
  return nullptr;
}

// Text of a code page in UTF-16; a null text stays null.
bool wide(UINT cp, const char* s, std::wstring* out) {
  if (s == nullptr) return true;
  const int n = MultiByteToWideChar(cp, 0, s, -1, nullptr, 0);
  if (n <= 0) return false;
  out->assign(static_cast<size_t>(n), L'\0');
  return MultiByteToWideChar(cp, 0, s, -1, out->data(), n) == n;
}

// CreateProcessA with a user's set other than code page 932: the command line (932 text) goes
// to the program as the characters it holds; the system gives them to a program that reads its
// line in bytes in that program's own code page. The path is the system's (its code page).
BOOL crt_w(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta, BOOL inh, DWORD flg,
           LPVOID env, LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi) {
  std::wstring wa, wl, wd;
  try {
    if (!wide(CP_ACP, app, &wa) || !wide(932, line, &wl) || !wide(CP_ACP, dir, &wd)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return FALSE;
    }
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  // The same record but for its texts, which the program is not given.
  static_assert(sizeof(STARTUPINFOW) == sizeof(STARTUPINFOA));
  STARTUPINFOW sw;
  std::memcpy(&sw, si, sizeof sw);
  sw.cb = sizeof sw;
  sw.lpReserved = sw.lpDesktop = sw.lpTitle = nullptr;
  return CreateProcessW(app != nullptr ? wa.c_str() : nullptr, line != nullptr ? wl.data() : nullptr, pa, ta, inh,
                        flg, env, dir != nullptr ? wd.c_str() : nullptr, &sw, pi);
}

}  // namespace

BOOL prc_win_crt(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                 LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                 LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                 LPPROCESS_INFORMATION lpProcessInformation) {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  const DWORD flg = job != nullptr ? dwCreationFlags | CREATE_SUSPENDED : dwCreationFlags;
  if (!(con_usr_set() ? crt_w(lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes,
                              bInheritHandles, flg, lpEnvironment, lpCurrentDirectory, lpStartupInfo,
                              lpProcessInformation)
                      : CreateProcessA(lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes,
                                       bInheritHandles, flg, lpEnvironment, lpCurrentDirectory, lpStartupInfo,
                                       lpProcessInformation))) {
    const DWORD e = GetLastError();
    if (job != nullptr) CloseHandle(job);
    SetLastError(e);
    return FALSE;
  }
  if (job == nullptr) return TRUE;
  const PROCESS_INFORMATION& pi = *lpProcessInformation;
  if (!AssignProcessToJobObject(job, pi.hProcess)) {
    // Only a job we cannot nest in our own: the command runs all the same.
    CloseHandle(job);
    job = nullptr;
  }
  if (job != nullptr) {
    jobs_lck l;
    jobs.emplace_back(pi.hProcess, job);
  }
  if ((dwCreationFlags & CREATE_SUSPENDED) == 0) ResumeThread(pi.hThread);
  return TRUE;
}

BOOL prc_win_trm(HANDLE hProcess, UINT uExitCode) {
  // Asked first rather than told by the result: not every system (wine) fails the call for a
  // child that has ended, and then its job must be left alone.
  const DWORD w = WaitForSingleObject(hProcess, 0);
  if (w == WAIT_OBJECT_0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!TerminateProcess(hProcess, uExitCode)) return FALSE;
  if (HANDLE job = job_of(hProcess); job != nullptr) TerminateJobObject(job, uExitCode);
  return TRUE;
}

BOOL prc_win_cls(HANDLE hObject) {
  jobs_lck l;
  for (auto it = jobs.begin(); it != jobs.end(); ++it) {
    if (it->first == hObject) {
      CloseHandle(it->second);
      jobs.erase(it);
      break;
    }
  }
  return CloseHandle(hObject);
}

HANDLE prc_win_job(HANDLE hProcess) { return job_of(hProcess); }

void prc_kill_all() {
  jobs_lck l;
  for (const auto& [p, j] : jobs) TerminateJobObject(j, static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

int prc_fnd(const char* name, std::string* path) {
  try {
    if (std::strpbrk(name, "\\/:") != nullptr) {
      *path = name;
      return 0;
    }
    // Only the directories of PATH: not the current directory, which the system's own search
    // looks in first (a program planted where kestrel runs would run instead).
    const bool ext = std::strchr(name, '.') != nullptr;
    const DWORD n = GetEnvironmentVariableA("PATH", nullptr, 0);
    std::string dirs(n, '\0');
    if (n == 0 || GetEnvironmentVariableA("PATH", dirs.data(), n) == 0) return PRC_FND_NONE;
    dirs.resize(std::strlen(dirs.c_str()));
    for (size_t b = 0; b <= dirs.size();) {
      size_t e = dirs.find(';', b);
      if (e == std::string::npos) e = dirs.size();
      std::string dir = dirs.substr(b, e - b);
      if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"') dir = dir.substr(1, dir.size() - 2);
      if (!dir.empty()) {
        if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
        const std::string cand = dir + name + (ext ? "" : ".exe");
        const DWORD a = GetFileAttributesA(cand.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          *path = cand;
          return 0;
        }
      }
      b = e + 1;
    }
  } catch (...) {
  }
  return PRC_FND_NONE;
}
