// Diagnosis of an installation: what the registration script writes, the server file
// it names, and the settings key.
#pragma once

#include <string>
#include <vector>

struct CheckFinding
{
    bool ok;
    std::string subject; // what was checked
    std::string detail;  // what was found
};

// Every check in a fixed order: the registry of the calling process, the registered
// file and, when the class is registered, the two below.
std::vector<CheckFinding> CheckInstallation();

// What use out of process (a console without administrator rights) needs besides the
// registration. The interface's proxy/stub: registered for INapComponentConfig, with a
// server file that exists (Windows has the system's).
CheckFinding CheckProxyStub();
// The COM surrogate: starts the component (StartInSurrogate; needs a COM apartment on
// the calling thread).
CheckFinding CheckSurrogate();
