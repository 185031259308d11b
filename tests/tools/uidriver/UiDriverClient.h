// For C++ tests: the UI driver in a process of its own with a bounded wait
// (support/ProcessRunner); its JSON lines are read with JsonValue (support/TestEnv).
#pragma once

#include <windows.h>

#include <string>

#include "support/JsonText.h"  // JsonEscaped: the driver's spelling of a text
#include "support/ProcessRunner.h"
#include "support/TestEnv.h"

namespace kavri_test {

// uidriver.exe from the test's own bin directory; args already quoted. The
// driver's stderr is the test's; killed after timeoutMs.
inline ProcessOutput RunUiDriver(const std::wstring& args, DWORD timeoutMs = 30000) {
    return RunChildProcess({L"\"" + OwnBinDir() + L"uidriver.exe\" " + args, timeoutMs});
}

}  // namespace kavri_test
