// What the USB tests of every program that talks to a printer start from.
// Header only; link the interface library ruvo_usb_test_support.
#pragma once

#include "UsbPrinterEmulator.h"

namespace usbtest {

// Adds a printer made from config to the emulation. With heldByDriver the
// kernel's printer driver holds its interface first, as it does for a printer
// plugged in before the program starts. The printer's index, or -1 when the
// emulation refused it.
inline int AddPrinter(usbemu::Emulator &emulator, bool heldByDriver, usbemu::PrinterConfig config = {})
{
    if (heldByDriver)
        config.claim = usbemu::ClaimBehaviour::HeldByKernelDriver;
    return emulator.AddPrinter(config);
}

// Whether a printer that the kernel's driver held before is held by it again:
// whoever took it must give it back. Always true for a printer that was free.
inline bool BackWithItsDriver(const usbemu::Emulator &emulator, int printer, bool heldByDriver)
{
    return !heldByDriver || emulator.KernelDriverAttached(printer);
}

} // namespace usbtest
