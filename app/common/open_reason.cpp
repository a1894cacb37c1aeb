#include "app/common/open_reason.h"

#include <cstdarg>
#include <cstdio>

namespace app {

namespace {
char reason_text[768];
}  // namespace

void midi_set_reason(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason_text, sizeof reason_text, format, args);
    va_end(args);
}

const char* midi_reason() { return reason_text; }

void midi_clear_reason() { reason_text[0] = '\0'; }

}  // namespace app
