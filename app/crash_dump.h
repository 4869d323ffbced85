// The crash-dump writer: on a fatal signal a text dump (the signal, the
// faulting address, the registers, a backtrace and the memory maps) is
// written to the current directory under a name made of the local time, its
// milliseconds and a random number; then the process ends as it would have.
#pragma once
#include <ctime>
#include <string>

namespace zl::app {

// "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp" (the millisecond and the
// random number each as given, the random number mod 100).
std::string DumpFileName(const std::tm& local, int millisecond, int random);
// Installs the handlers (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) on an
// alternate stack. `folder`: where dumps go ("" : the current directory).
void InstallCrashDumpWriter(const std::string& folder = "");

}  // namespace zl::app
