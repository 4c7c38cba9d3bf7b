// fwupdate-bench: the updater's peak memory while it sends a large image, and
// its speed, against holding the same image alone.
//
// Baseline: load the image into memory as the updater does, nothing else.
// Measured: the update worker's whole run (load, then the send in 64 KiB pieces
// to an emulated printer in another process). The peak resident size of each
// is taken from the kernel (reset between the two); the ratio near 1 says the
// send adds nothing beyond holding the image.
//
//   fwupdate-bench [--image-mib N]      (default 256, at most 1024)
//
// Runs itself under the emulated printer's runner, which keeps the received
// bytes in its own process.
#include "FirmwareUpdate.h"
#include "TrdFirmwareUpdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kClientOption[] = "--client";

long PeakResidentKib()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void ResetPeak()
{
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

int RunClient(int argc, char **argv, int imageMib)
{
    QCoreApplication application(argc, argv);
    const QString path = QDir::tempPath() + "/fwupdate-bench.fls";
    {
        QFile image(path);
        if (!image.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        QByteArray block(1024 * 1024, '\0');
        for (int i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 31 + 7);
        for (int i = 0; i < imageMib; ++i)
            image.write(block);
    }

    ResetPeak();
    const long before = PeakResidentKib();
    QElapsedTimer clock;
    clock.start();
    char *data = nullptr;
    int size = 0;
    if (!CheckFWFile(path, &data, size))
        return 1;
    const qint64 loadMs = clock.elapsed();
    const long baseline = PeakResidentKib();
    delete[] data;

    ResetPeak();
    TrdFirmwareUpdate worker;
    int result = 1;
    QObject::connect(&worker, &TrdFirmwareUpdate::SgnFinished, [&result](bool loaded, int code) {
        result = loaded ? code : 1;
    });
    clock.restart();
    // The "usb://Ruvo/K400N?serial=" port and model ids of the runner's first printer.
    worker.SlotStart(path, 0x7A3E, 0x0402, "usb://Ruvo/K400N?serial=RV40N00001", 30000);
    const qint64 updateMs = clock.elapsed();
    const long measured = PeakResidentKib();
    QFile::remove(path);
    if (result != 0) {
        fprintf(stderr, "fwupdate-bench: the update failed with %d\n", result);
        return 1;
    }
    printf("image %d MiB; resident at start %ld KiB\n", imageMib, before);
    printf("baseline (image loaded):  peak %8ld KiB, %6lld ms\n", baseline, static_cast<long long>(loadMs));
    printf("update (load and send):   peak %8ld KiB, %6lld ms, %.0f MiB/s to the emulated printer\n", measured,
           static_cast<long long>(updateMs), updateMs > 0 ? imageMib * 1000.0 / updateMs : 0.0);
    printf("peak memory ratio update/baseline: %.3f\n", double(measured) / double(baseline));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    int imageMib = 256;
    bool client = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], kClientOption) == 0)
            client = true;
        else if (strcmp(argv[i], "--image-mib") == 0 && i + 1 < argc)
            imageMib = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: fwupdate-bench [--image-mib N]\n");
            return 2;
        }
    }
    if (imageMib < 1 || imageMib > 1024) {
        fprintf(stderr, "fwupdate-bench: --image-mib takes 1 to 1024\n");
        return 2;
    }
    if (client)
        return RunClient(argc, argv, imageMib);

    // The runner writes its printer list and status files, the client its image:
    // all into a folder of our own, removed at the end.
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    QProcess runner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR", folder.path()); // the client's image goes there too
    runner.setProcessEnvironment(environment);
    runner.setProcessChannelMode(QProcess::ForwardedChannels);
    runner.start(USB_PRINTER_EMULATOR, {"--printer-list", folder.filePath("printers.ini"), "--",
                                        QCoreApplication::applicationFilePath(), kClientOption, "--image-mib",
                                        QString::number(imageMib)});
    if (!runner.waitForFinished(-1) || runner.exitStatus() != QProcess::NormalExit) {
        fprintf(stderr, "fwupdate-bench: the emulated printer's runner failed\n");
        return 1;
    }
    return runner.exitCode();
}
