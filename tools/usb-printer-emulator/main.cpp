// usb-printer-emulator: puts emulated USB printers on a umockdev test bed,
// writes the product's printer list naming them, and runs one command that
// sees them (through the umockdev preload). Exits with the command's status.
//
//   usb-printer-emulator [options] -- command [arguments...]
//     --printers N          printers of one model (default 1; serials ...01, ...02)
//     --model NAME          model display name (default "Ruvo K400N")
//     --pid HEX             USB product id (default 0402)
//     --fault NAME          one of: none-attached, other-serial, no-printer-interface,
//                           out-endpoint-2, kernel-driver, claim-always-fails,
//                           claim-no-driver, unopenable, reply-never, short-write,
//                           write-fails, vanish-after-1
//     --printer-list PATH   where to write the list (default: the product's cfg dir)
//     --record PATH         after the command, write every byte sent to the first printer
//     --out-delay-ms N      a slow printer: each bulk OUT transfer is taken N ms later (0..1000)
#include "UsbPrinterEmulator.h"

#include "product_paths.h"

#include <csignal>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <linux/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t s_childPid = 0;

// The command ends with the runner: a stopped runner must not leave it
// talking to a test bed that is gone.
void ForwardSignal(int signal)
{
    if (s_childPid > 0)
        kill(static_cast<pid_t>(s_childPid), signal);
}

int Usage()
{
    fprintf(stderr, "usage: usb-printer-emulator [--printers N] [--model NAME] [--pid HEX] "
                    "[--fault NAME] [--printer-list PATH] [--record PATH] [--out-delay-ms N] -- command [args...]\n");
    return 2;
}

bool MakeDirectories(const std::string &path)
{
    std::string partial;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            partial = path.substr(0, i);
            if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int printers = 1;
    std::string model = "Ruvo K400N";
    unsigned productId = 0x0402;
    std::string fault;
    std::string cfgDir = std::string(ruvo_paths::kProductRoot) + ruvo_paths::kCfgSubDir;
    std::string listPath = cfgDir + ruvo_paths::kPrinterListFileName;
    std::string recordPath;
    int outDelayMs = 0;
    int commandAt = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            commandAt = i + 1;
            break;
        }
        if (i + 1 >= argc)
            return Usage();
        const std::string value = argv[++i];
        if (option == "--printers")
            printers = atoi(value.c_str());
        else if (option == "--model")
            model = value;
        else if (option == "--pid")
            productId = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 16));
        else if (option == "--fault")
            fault = value;
        else if (option == "--printer-list")
            listPath = value;
        else if (option == "--record")
            recordPath = value;
        else if (option == "--out-delay-ms")
            outDelayMs = atoi(value.c_str());
        else
            return Usage();
    }
    if (commandAt < 0 || commandAt >= argc || printers < 1 || printers > 8 || outDelayMs < 0 || outDelayMs > 1000)
        return Usage();

    usbemu::Emulator emulator;
    std::vector<usbemu::PrinterListEntry> list;
    for (int i = 0; i < printers; ++i) {
        usbemu::PrinterConfig config;
        config.productId = static_cast<uint16_t>(productId);
        char serial[16];
        snprintf(serial, sizeof serial, "RV40N%05d", i + 1);
        config.serial = serial;
        config.outDelayMs = outDelayMs;
        const std::string listedSerial = config.serial;
        if (fault == "other-serial")
            config.serial = "ZZ99999999";
        else if (fault == "no-printer-interface")
            config.bPrinterInterface = false;
        else if (fault == "out-endpoint-2")
            config.outEndpoint = 0x02;
        else if (fault == "kernel-driver")
            config.claim = usbemu::ClaimBehaviour::HeldByKernelDriver;
        else if (fault == "claim-always-fails")
            config.claim = usbemu::ClaimBehaviour::AlwaysBusyAfterDetach;
        else if (fault == "claim-no-driver")
            config.claim = usbemu::ClaimBehaviour::AlwaysBusyNoDriver;
        else if (fault == "unopenable")
            config.bUnopenable = true;
        else if (fault == "reply-never")
            config.bReplyNever = true;
        else if (fault == "short-write")
            config.shortWriteBy = 1;
        else if (fault == "write-fails")
            config.bFailBulkOut = true;
        else if (fault == "vanish-after-1")
            config.vanishAfterOpens = 1;
        else if (!fault.empty() && fault != "none-attached") {
            fprintf(stderr, "usb-printer-emulator: unknown fault %s\n", fault.c_str());
            return 2;
        }
        if (fault != "none-attached" && emulator.AddPrinter(config) < 0)
            return 1;
        const std::string name = printers == 1 ? "Ruvo_Printer" : "Ruvo_Printer_" + std::to_string(i + 1);
        list.push_back({name, model, 1, "usb://Ruvo/" + model.substr(model.find(' ') + 1) + "?serial=" + listedSerial,
                        "usb://Ruvo/Printer?serial=" + listedSerial});
    }
    const std::string listDir = listPath.substr(0, listPath.rfind('/'));
    if (!MakeDirectories(listDir) || !usbemu::WritePrinterList(listPath, list)) {
        fprintf(stderr, "usb-printer-emulator: cannot write %s\n", listPath.c_str());
        return 1;
    }
    // The firmware updater shows a printer as connected when its status file exists.
    for (const auto &entry : list)
        std::ofstream(listDir + "/" + entry.name + ruvo_paths::kStatusFileSuffix, std::ios::app);

    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        setenv("LD_PRELOAD", usbemu::PreloadLibrary(), 1);
        if (fault == "unopenable") {
            // Root would open a node of mode 000 anyway: the command runs without that override.
            prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
        }
        execvp(argv[commandAt], argv + commandAt);
        perror("usb-printer-emulator: exec");
        _exit(127);
    }
    s_childPid = child;
    struct sigaction forward = {};
    forward.sa_handler = ForwardSignal;
    sigemptyset(&forward.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &forward, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!recordPath.empty() && fault != "none-attached") {
        std::ofstream record(recordPath, std::ios::binary | std::ios::trunc);
        for (const auto &transfer : emulator.OutTransfers(0))
            record.write(reinterpret_cast<const char *>(transfer.data()),
                         static_cast<std::streamsize>(transfer.size()));
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
