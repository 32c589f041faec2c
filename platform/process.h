// The Windows process and pipe calls, carried out with POSIX processes and pipes.
//
// A HANDLE is a pointer to a small object of this layer (pipe end, standard handle, process,
// thread); only handles this layer gave out and that are still open are accepted, anything
// else fails with ERROR_INVALID_HANDLE. The layer is meant for one calling thread.
#pragma once
#ifdef _WIN32
// The system's calls, with each command in a job object of its own (platform/win/prc_win.h).
#include "platform/win/prc_win.h"
#else
#include "platform/windows.h"

using UINT = uint32_t;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPCVOID = const void*;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOA = STARTUPINFOA*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// The Windows layouts: 12/68/16 bytes with 4-byte pointers, 24/104/24 with 8-byte ones.
static_assert(sizeof(SECURITY_ATTRIBUTES) == (sizeof(void*) == 8 ? 24 : 12));
static_assert(sizeof(STARTUPINFOA) == (sizeof(void*) == 8 ? 104 : 68));
static_assert(sizeof(PROCESS_INFORMATION) == (sizeof(void*) == 8 ? 24 : 16));

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

inline constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
inline constexpr DWORD STARTF_USESIZE = 0x00000002;
inline constexpr DWORD STARTF_USEPOSITION = 0x00000004;
inline constexpr DWORD STARTF_USECOUNTCHARS = 0x00000008;
inline constexpr DWORD STARTF_USEFILLATTRIBUTE = 0x00000010;
inline constexpr DWORD STARTF_RUNFULLSCREEN = 0x00000020;
inline constexpr DWORD STARTF_FORCEONFEEDBACK = 0x00000040;
inline constexpr DWORD STARTF_FORCEOFFFEEDBACK = 0x00000080;
inline constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;
static_assert((STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW) == 257);

inline constexpr WORD SW_HIDE = 0;

inline constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
inline constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// GetLastError values this layer sets.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_FORMAT = 11;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_NO_DATA = 232;
inline constexpr DWORD ERROR_DIRECTORY = 267;

DWORD GetLastError();

// Both ends are close-on-exec; a child only ever receives the ends given as its standard
// handles. nSize, when non-zero, is passed on as the pipe capacity (the kernel rounds it up to
// a page). The inheritance flag of lpPipeAttributes changes nothing for that reason.
BOOL CreatePipe(HANDLE* hReadPipe, HANDLE* hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                DWORD nSize);

// One handle per standard stream for the whole run; closing it is accepted and does nothing.
// INVALID_HANDLE_VALUE for any other constant.
HANDLE GetStdHandle(DWORD nStdHandle);

// Starts a program directly, no shell in between.
// - lpApplicationName given: it is the program, used as a path as it stands (no PATH search,
//   as on Windows); lpCommandLine supplies argv (argv is just the name when it is NULL).
// - otherwise argv comes from lpCommandLine and argv[0] is the program, looked up on PATH
//   when it holds no slash.
// The command line is code page 932 text, as on a Windows system whose ANSI code page is 932:
// it is split by cmdline_split and not modified, and each argument reaches the program in the
// user's set (con_out). lpApplicationName is a path as the system names it (prc_fnd gives one). lpEnvironment is a
// Windows environment block ("A=1\0B=2\0\0") or NULL for the caller's environment;
// lpCurrentDirectory NULL for the caller's directory. With STARTF_USESTDHANDLES the child
// gets hStdInput/hStdOutput/hStdError (a NULL one reads as /dev/null), otherwise the caller's
// standard streams. Nothing else is inherited: every descriptor from 3 up is closed in the
// child, signal dispositions and the signal mask start at their defaults. Creation flags,
// show-window settings and security attributes have no POSIX meaning and are ignored.
// FALSE when the program cannot be found or started (ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_BAD_FORMAT, ERROR_DIRECTORY ...).
// hThread is a second handle on the same child (Linux has no separate first thread to show);
// dwThreadId equals dwProcessId.
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);

// Process or thread handle: WAIT_OBJECT_0 once the child has ended (it is reaped then),
// WAIT_TIMEOUT after dwMilliseconds, WAIT_FAILED for any other handle.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// STILL_ACTIVE while the child runs; otherwise its exit status, the code given to
// TerminateProcess when that ended it, or 128 + the signal number when a signal did.
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

// Kills the child (SIGKILL) and reaps it; its exit code becomes uExitCode. A child that has
// already ended keeps its own code and the call fails with ERROR_ACCESS_DENIED, as on Windows.
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

// Releases any handle of this layer. Closing the last handle of a child that is still running
// leaves the child running, as on Windows; a background waiter reaps it when it ends, so it
// never lingers as a zombie.
BOOL CloseHandle(HANDLE hObject);

// Pipe-end I/O (lpOverlapped must be NULL). ReadFile reports 0 bytes and TRUE at end of pipe.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPVOID lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPVOID lpOverlapped);

#endif

// On every platform: how a command line becomes a program and its arguments.
#include <string>
#include <vector>

// Splits a command line into arguments as the Windows C runtime does:
// - spaces and tabs separate arguments outside double quotes;
// - a double quote opens or closes a quoted group and is dropped; "" inside a group gives one
//   literal quote and the group goes on (the rule of the current runtimes, msvcr90 on);
// - 2n backslashes before a quote give n backslashes and the quote acts as above; 2n+1
//   backslashes before a quote give n backslashes and a literal quote;
// - any other backslash is literal; a group still open at the end closes there;
// - a Shift-JIS lead byte takes the next byte with it, so a trail byte 0x5C is never read as a
//   backslash (the multi-byte runtime on a code page 932 system does the same).
// The same rules hold for the first argument.
std::vector<std::string> cmdline_split(const char* cmd);

// The program a command names (code page 932 text, as the command line gives it), as it will be
// started, with its path as the system names it (on Linux in the user's set, con_out): a name
// with a directory part as it stands; a bare name looked up in the directories of PATH, and there only (on Linux as execvp
// looks, an empty entry meaning the current directory; on Windows never the current directory,
// ".exe" added to a name without an extension). 0 with the path, or PRC_FND_NONE.
inline constexpr int PRC_FND_NONE = 1;
int prc_fnd(const char* name, std::string* path);

// Whether the program at path reads its command line as cmd.exe does: a batch file (.bat,
// .cmd) or cmd.exe itself.
bool prc_is_cmd(const char* path);

// A few words for an error CreateProcessA left in GetLastError.
std::string prc_err_txt(DWORD e);

// Ends every child still running with what it started (on Linux its process group; on Windows
// its job). Safe in a signal handler and from the console's control handler thread.
void prc_kill_all();
