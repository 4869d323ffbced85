// Where the engine's message boxes go: the window shows dialogs, the command
// line prints lines. Show may block until the user closes the message.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace zl {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void Show(uintptr_t owner, const std::string& text, const std::string& caption, uint32_t style) = 0;
};

// Prints "caption: text" as one line (line breaks in the text become spaces).
class ConsoleMessageSink final : public MessageSink {
public:
    explicit ConsoleMessageSink(std::FILE* out = stderr) : out_(out) {}
    void Show(uintptr_t owner, const std::string& text, const std::string& caption, uint32_t style) override;

private:
    std::FILE* out_;
};

}  // namespace zl
