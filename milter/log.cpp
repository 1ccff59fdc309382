#include "milter/log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace {

bool log_to_stderr = false;

} // namespace

void log_open(bool to_stderr) {
    log_to_stderr = to_stderr;
    if (!to_stderr) openlog("orvamilter", LOG_PID | LOG_NDELAY, LOG_MAIL);
}

void log_line(int priority, const char *format, ...) {
    char text[2048];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (!log_to_stderr) {
        syslog(priority, "%s", text);
        return;
    }
    // One call per line, so that lines of concurrent sessions never mix. The
    // level is named as syslog would file it, for warnings and worse.
    const char *level = priority <= LOG_ERR       ? "error: "
                        : priority == LOG_WARNING ? "warning: "
                                                  : "";
    std::fprintf(stderr, "orvamilter[%ld]: %s%s\n", static_cast<long>(getpid()), level, text);
}
