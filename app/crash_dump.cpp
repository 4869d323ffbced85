#include "app/crash_dump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zl::app {
namespace {

char g_folder[1024];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void WriteText(int fd, const char* text) { (void)!::write(fd, text, std::strlen(text)); }

void WriteLine(int fd, const char* format, unsigned long long a, unsigned long long b = 0) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, format, a, b);
    if (n > 0) (void)!::write(fd, line, size_t(std::min(n, int(sizeof line - 1))));
}

void CopyFile(int out, const char* path) {
    const int in = ::open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    char buffer[4096];
    for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;) (void)!::write(out, buffer, size_t(n));
    ::close(in);
}

// The name into a fixed buffer: nothing in the signal handler allocates.
void FormatDumpName(char* out, size_t size, const std::tm& t, int millisecond, int random) {
    std::snprintf(out, size, "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, millisecond, ((random % 100) + 100) % 100);
}

void OnFatalSignal(int sig, siginfo_t* info, void* context) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    const int random = int((unsigned(now.tv_usec) * 2654435761u ^ unsigned(::getpid())) % 100);
    char name[64];
    FormatDumpName(name, sizeof name, local, int(now.tv_usec / 1000), random);
    char path[1200];
    std::snprintf(path, sizeof path, "%s%s%s", g_folder, g_folder[0] ? "/" : "", name);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteLine(fd, "signal %llu (%llu)\n", unsigned(sig), unsigned(info ? info->si_code : 0));
        WriteText(fd, "name ");
        const char* abbrev = sigabbrev_np(sig);
        WriteText(fd, abbrev ? abbrev : "?");
        WriteLine(fd, "\naddress 0x%llx\npid %llu\n", reinterpret_cast<unsigned long long>(info ? info->si_addr : nullptr),
                  unsigned(::getpid()));
#if defined(__x86_64__)
        if (context) {
            const ucontext_t* uc = static_cast<const ucontext_t*>(context);
            static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15",
                                                 "rdi", "rsi", "rbp", "rbx", "rdx", "rax", "rcx", "rsp",
                                                 "rip", "efl"};
            WriteText(fd, "registers\n");
            for (int i = 0; i < 18; ++i) {
                WriteText(fd, "  ");
                WriteText(fd, kNames[i]);
                WriteLine(fd, " 0x%016llx\n", static_cast<unsigned long long>(uc->uc_mcontext.gregs[i]));
            }
        }
#else
        (void)context;
#endif
        WriteText(fd, "backtrace\n");
        void* frames[64];
        const int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);
        WriteText(fd, "maps\n");
        CopyFile(fd, "/proc/self/maps");
        ::close(fd);
    }
    // End the way the signal would have ended the process.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

std::string DumpFileName(const std::tm& t, int millisecond, int random) {
    char name[64];
    FormatDumpName(name, sizeof name, t, millisecond, random);
    return name;
}

void InstallCrashDumpWriter(const std::string& folder) {
    std::snprintf(g_folder, sizeof g_folder, "%s", folder.c_str());
    // backtrace() loads its unwinder on first use, and the first local-time
    // conversion reads the time zone (allocating); do both now, not inside the handler.
    void* frames[2];
    ::backtrace(frames, 2);
    ::tzset();
    const time_t now = ::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    static char* alternate = static_cast<char*>(std::malloc(size_t(SIGSTKSZ) * 4));
    stack_t ss{};
    ss.ss_sp = alternate;
    ss.ss_size = size_t(SIGSTKSZ) * 4;
    ::sigaltstack(&ss, nullptr);
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) ::sigaction(sig, &action, nullptr);
}

}  // namespace zl::app
