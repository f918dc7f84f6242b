// SPDX-License-Identifier: MIT
// Numbers as the check writes them: exact fixed point, decimals, seconds, and the tool's text made safe.
#include "NumberText.h"

#include <cstdio>

int FormatFixed(char* sz, size_t cb, tint64 llValue, int nDigits, int nPlaces)
{
    const tuint64 qwScale = static_cast<tuint64>(Pow10(nDigits));
    // The magnitude as unsigned, so that the most negative value has one too.
    const tuint64 qwMagnitude = llValue < 0 ? 0 - static_cast<tuint64>(llValue) : static_cast<tuint64>(llValue);
    int n = nDigits == 0 ? std::snprintf(sz, cb, "%s%llu", llValue < 0 ? "-" : "", static_cast<unsigned long long>(qwMagnitude))
                         : std::snprintf(sz, cb, "%s%llu.%0*llu", llValue < 0 ? "-" : "",
                                         static_cast<unsigned long long>(qwMagnitude / qwScale), nDigits,
                                         static_cast<unsigned long long>(qwMagnitude % qwScale));
    if (n < 0 || static_cast<size_t>(n) >= cb)
    {
        return 0;
    }
    int nKept = nDigits;
    while (nKept > nPlaces && sz[n - 1] == '0')
    {
        --n;
        --nKept;
    }
    return nKept == 0 && nDigits > 0 ? n - 1 : n;  // no '.' without a decimal
}

tint64 Pow10(int nDigits)
{
    tint64 ll = 1;
    while (nDigits-- > 0)
    {
        ll *= 10;
    }
    return ll;
}

std::string ShowFixed(tint64 llValue, int nDigits, int nPlaces)
{
    char sz[48];
    return std::string(sz, static_cast<size_t>(FormatFixed(sz, sizeof(sz), llValue, nDigits, nPlaces)));
}

std::string Printed(int nDecimals, double d)
{
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%.*f", nDecimals, d);
    // What rounds to zero is zero, whichever side it came from: never "-0.00".
    const std::string str = sz;
    return str[0] == '-' && str.find_first_not_of("-0.") == std::string::npos ? str.substr(1) : str;
}

std::string Seconds(tint64 us)
{
    return Printed(2, static_cast<double>(us) / 1e6) + " s";
}

std::string ShowSeconds(double dUs)
{
    const double d = dUs / 1e6;
    return Printed(d >= 100 ? 0 : d >= 10 ? 1 : 2, d);
}

std::string Printable(const std::string& str, size_t nMax)
{
    std::string strOut = str.substr(0, nMax);
    for (char& c : strOut)
    {
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    return strOut + (str.size() > nMax ? "..." : "");
}


std::string ShowMHz(tint64 llKHz)
{
    return ShowFixed(llKHz, 3, 0) + " MHz";
}
