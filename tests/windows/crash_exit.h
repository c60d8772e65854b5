#pragma once

// Test programs under Wine: a crash inside the library under test is reported
// and ends the program with status 3, never with the system's error dialog
// (which would hang an unattended run).

#include <windows.h>

#include <cstdio>

namespace kelvane {

inline const char* CrashExitProgramName = "test";

inline LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* Info) {
  std::fprintf(stderr, "%s: unhandled exception 0x%08lx at %p\n", CrashExitProgramName,
               static_cast<unsigned long>(Info->ExceptionRecord->ExceptionCode),
               Info->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

inline void InstallCrashExit(const char* ProgramName) {
  CrashExitProgramName = ProgramName;
  SetUnhandledExceptionFilter(&OnUnhandledException);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

}  // namespace kelvane
