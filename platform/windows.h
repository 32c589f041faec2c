// The Windows base types that the platform stand-ins use, with their Windows widths. On
// Windows the system's own header takes their place.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

using BOOL = int32_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using ULONGLONG = uint64_t;
using WCHAR = char16_t;   // UTF-16 code unit, as on Windows
using HANDLE = void*;
using LPVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

struct SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);
#endif
