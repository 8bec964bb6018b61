// Harvested registry entries as a WiX include file for wixl: RegistryValue elements
// under HKEY_CLASSES_ROOT, placed inside the component that installs the module, so
// that the package writes them through its Registry table.
#pragma once

#include "RegistryHarvest.h"

#include <string>

// Returns the include file's text (UTF-8): one RegistryValue element per harvested
// value, and for each key harvested without values one element that creates the key on
// install and removes it on uninstall. Every occurrence of harvest.modulePath inside a
// text value becomes fileReference, a Windows Installer formatted reference such as
// "[#QvnNapCfgDll]" that the installer replaces with the installed file's path; all
// other text is escaped so that the installer writes it literally. Value types keep
// their type: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY.
//
// Throws PackagingError for an entry the package could not reproduce byte for byte:
// another value type; text data that is not one terminated string (for REG_MULTI_SZ, a
// list of non-empty strings); an empty default value, or an empty value named "+", "-"
// or "*" (the installer reads both as key-only entries); text outside printable ASCII
// (tabs and line breaks allowed), which would need a package code page; a key or value
// name holding the module's path; and text that still names the module's folder once
// the module path is replaced, a build path the installed system would not have.
std::string WriteWixRegistryInclude(const HarvestedRegistration& harvest, const std::wstring& fileReference);
