// The application's lines in the engine log.
#pragma once
#include <string_view>

namespace zl::app {

inline constexpr int kLogApp = 7;        // the application's ordinary lines
inline constexpr int kLogFailure = 38;   // failures that must reach a file

void AppLog(std::string_view text, int category = kLogApp);

}  // namespace zl::app
