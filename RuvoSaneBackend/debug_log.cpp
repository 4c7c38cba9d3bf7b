#include "debug_log.h"

#include <cstdarg>
#include <mutex>
#include <set>
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

void ReportRefusedConfigLines(const std::string &path, const std::vector<RefusedConfigLine> &lines)
{
    if (DebugLevel() < kDebugError || lines.empty())
        return;
    // Front ends list the devices again and again; a refused line is news once.
    // The memory is bounded: a file rewritten without end is not remembered.
    static std::mutex guard;
    static std::set<std::string> said; // guarded by guard
    std::lock_guard<std::mutex> lock(guard);
    for (const RefusedConfigLine &line : lines) {
        std::string text = line.text;
        for (char &c : text)
            if (c < ' ' || c > '~')
                c = '?';
        std::string key = path + '\n' + std::to_string(line.number) + '\n' + text;
        if (said.size() >= 256 || !said.insert(key).second)
            continue;
        Debug(kDebugError, "%s line %d: \"%s\" is not an IPv4 address the scan daemon takes (four numbers 0-255 "
              "without leading zeros); line skipped", path.c_str(), line.number, text.c_str());
    }
}

} // namespace ruvo_sane
