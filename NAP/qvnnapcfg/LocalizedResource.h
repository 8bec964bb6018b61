// Resource lookup that picks the language by the calling thread's locale
// (GetThreadLocale), not by the system's user-interface language.
#pragma once

#include <windows.h>

#include <string>

// Finds a resource the way FindResourceW does, with its signature and result convention,
// so that it can stand in for FindResourceW in an import table. The language is chosen
// among the entries of the resource by the thread locale's language: the entry of
// exactly that language; else the one of its primary language with the neutral
// sublanguage; else one whose primary language is neutral. There is no other fallback:
// a thread whose language matches none of them finds nothing.
//
// module: a loaded module, null for the process's main executable; modules loaded with
// LoadLibraryEx as data file or as image resource are read correctly too.
// name, type: integer identifiers (MAKEINTRESOURCE). A name or type given as text is
// handed to the platform's FindResourceW, whose answer and last error are returned.
//
// Result: a handle for LoadResource and SizeofResource, or null with the thread's last
// error set to ERROR_RESOURCE_DATA_NOT_FOUND (no resource section, or the module's
// headers or resource directory are unreadable), ERROR_RESOURCE_TYPE_NOT_FOUND,
// ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND, or ERROR_INVALID_DATATYPE
// (the directory holds a subdirectory where resource data belongs).
//
// Stateless; callable from any thread at any time.
HRSRC WINAPI FindLocalizedResource(HMODULE module, LPCWSTR name, LPCWSTR type) noexcept;

// Fills result with string id of module (null: the main executable), in the language
// FindLocalizedResource chooses for the calling thread, converted to the ANSI code page
// (characters the code page lacks become its replacement character). When the string is
// absent or empty, or cannot be converted, result is defaultText instead (and empty
// should even that copy fail). Never throws.
void LoadLocalizedString(std::string& result, UINT id, HMODULE module, const std::string& defaultText) noexcept;

// --- Test seams ---------------------------------------------------------------------
// LoadLocalizedString converting to codePage instead of the ANSI code page, so that a
// test can read the text whole (CP_UTF8) whatever the system's ANSI code page is; the
// component itself never calls it.
void LoadLocalizedStringForTesting(std::string& result, UINT id, HMODULE module, const std::string& defaultText,
                                   UINT codePage) noexcept;
