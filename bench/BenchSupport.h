// What the parts of vorod-bench share: the clock, the figures that go out as
// `name = value` lines, and the driver on a virtual Vor OD in either
// streaming mode.
#ifndef VOROD_BENCH_BENCHSUPPORT_H
#define VOROD_BENCH_BENCHSUPPORT_H

#include <windows.h>

#include <string>

#include "driver/AsioTypes.h"
#include "virtual-device/VirtualDevice.h"

// The performance counter, its ticks a second, and seconds on it.
LONGLONG Ticks();
LONGLONG TicksPerSecond();
double Now();

// A figure of the run, printed with the others at the end.
void AddFigure(const std::string& name, double value);
void PrintFigures();

enum class Mode { Looped, Standard };
// Whether the driver runs in its low-latency mode (the `low` argument); the
// mode's name says so ("looped_low").
extern bool g_lowLatency;
const char* ModeName(Mode mode);
// The default machine; in standard mode its Vor OD pins list standard
// streaming first.
VdMachine MachineFor(Mode mode);
// A driver object as the class factory makes it, and its bring-up (in
// standard mode with the capture pin as a packet pin), in the low-latency
// mode or not.
IASIO* CreateDriver();
bool InitDriver(IASIO* asio, Mode mode);

#endif  // VOROD_BENCH_BENCHSUPPORT_H
