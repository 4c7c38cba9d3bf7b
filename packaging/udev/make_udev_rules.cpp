// make_udev_rules GROUP RULES METAINFO: writes the suite's udev rules for the
// models of the model table, giving the devices to GROUP (the scan daemon's
// account), and the AppStream metadata naming the same devices.
#include "UdevRules.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

bool WriteFile(const char *path, const std::string &text)
{
    std::ofstream output(path, std::ios::binary | std::ios::trunc);
    output << text;
    output.close();
    if (!output)
        std::fprintf(stderr, "make_udev_rules: cannot write %s\n", path);
    return static_cast<bool>(output);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_udev_rules GROUP RULES METAINFO\n");
        return 2;
    }
    const bool rules = WriteFile(argv[2], ruvo_udev::BuildUdevRules(argv[1]));
    const bool metainfo = WriteFile(argv[3], ruvo_udev::BuildAppStreamMetainfo());
    return rules && metainfo ? 0 : 1;
}
