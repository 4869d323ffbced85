#include "engine/base/message_sink.h"

namespace zl {

void ConsoleMessageSink::Show(uintptr_t, const std::string& text, const std::string& caption, uint32_t) {
    std::string line = caption + ": " + text;
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

}  // namespace zl
