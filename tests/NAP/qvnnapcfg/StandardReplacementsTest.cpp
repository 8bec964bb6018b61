// The replacements every registration script of the module may use, through the module
// object of this program. It has a program of its own: the script is a resource of the
// program (StandardReplacements.rgs), and the other internal tests need a program
// without resources.
#include "RegistrationState.h"
#include "SHVConfigModule.h"

#include <gtest/gtest.h>

namespace
{
// As UpdateRegistryFromScript gives them: APPID empty, Module and Module_Raw the path.
TEST(ModuleRegistrationTest, StandardReplacements)
{
    ScratchRegistry scratch{{HKEY_CLASSES_ROOT}};
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    ASSERT_EQ(g_module.UpdateRegistryFromScript(102, TRUE), S_OK);
    EXPECT_EQ(TakeRegistrySnapshot(HKEY_CLASSES_ROOT, L"QvnStandard"),
              (RegistrySnapshot{{L"", {{L"", SzValue(path)}, {L"AppId", SzValue(L"")}, {L"Raw", SzValue(path)}}}}));
    EXPECT_EQ(g_module.UpdateRegistryFromScript(102, FALSE), S_OK);
    EXPECT_FALSE(RegistryKeyExists(HKEY_CLASSES_ROOT, L"QvnStandard"));
}
} // namespace
