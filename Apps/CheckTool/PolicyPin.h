// SPDX-License-Identifier: MIT
// CPU K's cpufreq policy pinned to one clock for the sweep, and put back as it was; the OPP
// table's voltages and the device tree's coefficient.
#pragma once

#include <string>

#include "SoakData.h"

class CPolicyPin
{
public:
    // Reads the policy's bounds, which Restore writes back, and opens both for writing to see
    // that they can be: "" or why not. Writes nothing.
    std::string Open(const std::string& strSysfs, int nCPU);

    // Both bounds to llKHz, in the order the kernel takes them: "" or why it refused.
    std::string Pin(tint64 llKHz);

    // The bounds as they were before, when anything was written; "" where they read back so,
    // else what they read. Once: a second call finds nothing to undo.
    std::string Restore();

    // scaling_cur_freq, or kMissing.
    tint64 ReadClock() const;

    // "600000 and 1800000 kHz": scaling_min_freq and scaling_max_freq as Open read them.
    std::string Before() const;

private:
    std::string WriteBounds(tint64 llMin, tint64 llMax);

    std::string m_strDir;
    tint64 m_llMin = kMissing;  // as read before
    tint64 m_llMax = kMissing;
    tint64 m_llNowMin = kMissing;  // as last written
    tint64 m_llNowMax = kMissing;
    bool m_bWritten = false;
};

// The voltage of CPU nCPU's operating point llKHz in the kernel's OPP table under debugfs, µV,
// from nCPU's table or, where it has none, that of the first CPU of its policy; kMissing where
// none is given. *pstrWhere says where it looked.
tint64 ReadOppMicroVolts(const std::string& strSysfs, int nCPU, tint64 llKHz, std::string* pstrWhere);

// The device tree's dynamic-power-coefficient of CPU nCPU, µW/MHz/V², or kMissing.
tint64 ReadDtCoefficient(const std::string& strSysfs, int nCPU);
