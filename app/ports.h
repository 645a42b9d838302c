// The serial devices of this machine (--list-ports, an extension), and the
// note about a modem manager that may take a USB port from the run.
#pragma once

// One line per device on standard output (none: a note on standard error);
// the exit status. The roots are where sysfs and the device nodes are.
int listSerialPorts(const char* sysRoot = "/sys", const char* devRoot = "/dev");

// When the device is a USB adapter and ModemManager runs: a note on standard
// error with the remedy.
void noteModemManager(const char* device);
