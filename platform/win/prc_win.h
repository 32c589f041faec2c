// The Windows process and pipe calls, with one addition: each command runs in a job object of
// its own, so that a command that must be ended takes along whatever it started.
//
// CreateProcessA, TerminateProcess and CloseHandle keep their names and signatures for the
// caller and lead here; every other call is the system's own.
#pragma once
#include <windows.h>

#define CreateProcessA prc_win_crt
#define TerminateProcess prc_win_trm
#define CloseHandle prc_win_cls

// CreateProcessA, the child started suspended, placed in a new job object and then let run
// (unless the caller asked for CREATE_SUSPENDED itself), so that none of its own children can
// start outside the job. Where no job can be had (a parent job that allows no nesting), the
// child runs without one. The command line is passed on as given.
BOOL prc_win_crt(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                 LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                 LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                 LPPROCESS_INFORMATION lpProcessInformation);

// TerminateProcess; when it ended the child (which was still running), every process left in
// the child's job is ended with the same code. A child that had already ended keeps its code,
// the call fails with ERROR_ACCESS_DENIED and what it left running in the background is left
// alone: it ended by itself.
BOOL prc_win_trm(HANDLE hProcess, UINT uExitCode);

// CloseHandle; closing a child's process handle also releases its job (which does not end the
// processes in it).
BOOL prc_win_cls(HANDLE hObject);

// The job of a child whose process handle is open; NULL for any other handle.
HANDLE prc_win_job(HANDLE hProcess);
