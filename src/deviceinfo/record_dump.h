// Writes a DeviceRecord to the log at Debug, one line per field, in the order
// the suite's support staff read it.
#pragma once

#include "devicedetect/DeviceDetect.h"

void dumpDeviceRecord(const DeviceRecord* record);
