// A registry subtree captured as data, so that tests can compare whole states.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

// Every key of the subtree by its path below the captured key ("" for that key itself,
// then "A", "A\B", ...), each with its values by name: (type, data).
using RegistrySnapshot = std::map<std::wstring, std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>>>;

// The subtree at root\subkey; empty when the key is missing.
RegistrySnapshot TakeRegistrySnapshot(HKEY root, const std::wstring& subkey = L"");

// Makes root\subkey hold exactly the snapshot: deletes the subtree, then creates every
// key of the snapshot and writes its values (an empty snapshot leaves the key deleted).
// Returns the first registry error, ERROR_SUCCESS when all went well.
LSTATUS RestoreRegistrySnapshot(HKEY root, const std::wstring& subkey, const RegistrySnapshot& snapshot);

// The snapshot as readable text, one key or value a line, for failure messages.
std::string DescribeRegistrySnapshot(const RegistrySnapshot& snapshot);
