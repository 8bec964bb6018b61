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

// Every check in a fixed order; reads the registry of the calling process only.
std::vector<CheckFinding> CheckInstallation();
