#include "debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ruvo_sane {

int DebugLevel()
{
    static const int level = [] {
        const char *value = std::getenv("SANE_DEBUG_RUVO");
        if (!value)
            return 0;
        int parsed = std::atoi(value);
        return parsed > 0 ? parsed : 1;
    }();
    return level;
}

void Debug(int level, const char *format, ...)
{
    if (DebugLevel() < level)
        return;
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "[ruvo] %s\n", line);
}

} // namespace ruvo_sane
