// The registry entries the module's registration script writes, for comparing a
// registry (or a scratch root standing in for HKEY_CLASSES_ROOT) with them.
#pragma once

#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <string>

inline const std::wstring ClassKey = L"CLSID\\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}";
inline const std::wstring AppIdKey = L"AppID\\{73D1100C-337E-4de7-84B9-8F5B10202693}";
inline const std::wstring AppIdDllKey = L"AppID\\qvnnapcfg64.dll";

inline std::pair<DWORD, std::vector<BYTE>> SzValue(const std::wstring& text)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

inline std::pair<DWORD, std::vector<BYTE>> DwordValue(DWORD value)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    return {REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(value))};
}

// Exactly the class's keys and values, with modulePath as the module's path, and no more.
inline void ExpectRegistered(HKEY root, const std::wstring& modulePath)
{
    const std::wstring appId = L"{73D1100C-337E-4de7-84B9-8F5B10202693}";
    const RegistrySnapshot classKey = {
        {L"",
         {{L"", SzValue(L"Quorvane SHV Configurator")},
          {L"AppID", SzValue(appId)},
          {L"LocalizedString", SzValue(L"@" + modulePath + L",-100")}}},
        {L"InprocServer32", {{L"", SzValue(modulePath)}, {L"ThreadingModel", SzValue(L"Neutral")}}},
        {L"Elevation", {{L"Enabled", DwordValue(1)}}},
    };
    const RegistrySnapshot appIdKey = {{L"", {{L"", SzValue(L"qvnnapcfg64")}, {L"DllSurrogate", SzValue(L"")}}}};
    const RegistrySnapshot appIdDllKey = {{L"", {{L"AppID", SzValue(appId)}}}};

    const RegistrySnapshot actual = TakeRegistrySnapshot(root, ClassKey);
    EXPECT_EQ(actual, classKey) << DescribeRegistrySnapshot(actual);
    EXPECT_EQ(TakeRegistrySnapshot(root, AppIdKey), appIdKey);
    EXPECT_EQ(TakeRegistrySnapshot(root, AppIdDllKey), appIdDllKey);
}

inline void ExpectUnregistered(HKEY root)
{
    EXPECT_FALSE(RegistryKeyExists(root, ClassKey));
    EXPECT_FALSE(RegistryKeyExists(root, AppIdKey));
    EXPECT_FALSE(RegistryKeyExists(root, AppIdDllKey));
}
