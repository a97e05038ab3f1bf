// Small helpers shared by the stand-in client and maintenance tool.
#pragma once

#include "testsupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace standin {

// The path of a file kept beside this executable: "<executable><suffix>".
inline QString besideExecutable(const char *suffix)
{
    return QCoreApplication::applicationFilePath() + QLatin1String(suffix);
}

// Ends the process with exactly this code: the exit handlers of a leak checker
// must not replace the code that a test asked for.
[[noreturn]] inline void quitNow(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace standin
