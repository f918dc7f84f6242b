// SPDX-License-Identifier: MIT
// Whether a zone's readings are temperatures in m°C, judged from them as a whole: a board in a
// cold chamber, or an automotive part at 125 C, is judged; a kernel that writes another unit, a
// sensor's fault code and a glitch of tens of degrees are not.
#pragma once

#include <string>
#include <vector>

#include "SoakData.h"

// Why each sensor's readings over the whole trace, baseline and soak, cannot be judged as a
// zone's in m°C: what was implausible, and what it looks like. "" where they can, and for each
// sensor that is no zone.
std::vector<std::string> ImplausibleZones(const SSoakTrace& trace, const std::vector<SSensor>& vSensors);
