// Commands in job objects: which job belongs to which child.
#include "platform/win/prc_win.h"

#include <utility>
#include <vector>

// From here on the names are the system's calls.
#undef CreateProcessA
#undef TerminateProcess
#undef CloseHandle

namespace {

// The job of each child whose process handle is still open. A handful at most: the watcher
// runs one command at a time.
std::vector<std::pair<HANDLE, HANDLE>> jobs;

HANDLE job_of(HANDLE prc) {
  for (const auto& [p, j] : jobs)
    if (p == prc) return j;
  return nullptr;
}

}  // namespace

BOOL prc_win_crt(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                 LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                 LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                 LPPROCESS_INFORMATION lpProcessInformation) {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  const DWORD flg = job != nullptr ? dwCreationFlags | CREATE_SUSPENDED : dwCreationFlags;
  if (!CreateProcessA(lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes, bInheritHandles,
                      flg, lpEnvironment, lpCurrentDirectory, lpStartupInfo, lpProcessInformation)) {
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
  if (job != nullptr) jobs.emplace_back(pi.hProcess, job);
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
