#include "app/app_log.h"

#include "engine/base/engine_log.h"

namespace zl::app {

void AppLog(std::string_view text, int category) { LogWrite(text, category, category); }

}  // namespace zl::app
