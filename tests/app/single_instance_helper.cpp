// Runs the single-instance rule under a given name, for the two-process test:
// prints the result, then (as the instance) stays and prints "raised CWD"
// for every later start.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/single_instance.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    zl::app::SingleInstance instance(argv[1], [](const std::string& cwd) {
        std::printf("raised %s\n", cwd.c_str());
        std::fflush(stdout);
    });
    using R = zl::app::SingleInstance::Result;
    char cwd[4096] = "?";
    if (!::getcwd(cwd, sizeof cwd)) return 2;
    switch (instance.Acquire(cwd)) {
        case R::kFirst: std::printf("first\n"); break;
        case R::kReplaced: std::printf("replaced %d\n", instance.ReplacedPid()); break;
        case R::kHandedOver: std::printf("handed-over\n"); return 0;
        case R::kOtherRunning: std::printf("other-running\n");
            std::fprintf(stderr, "holder: %s\n", instance.Detail().c_str());
            return 3;
        case R::kError: std::printf("error\n"); return 4;
    }
    std::fflush(stdout);
    for (;;) ::pause();
}
