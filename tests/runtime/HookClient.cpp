// Imports ProviderValue by name and OrdinalOnlyValue by ordinal only from
// qvn_hook_provider.dll, for the import-table hooking tests.
extern "C" __declspec(dllimport) int ProviderValue();
extern "C" __declspec(dllimport) int OrdinalOnlyValue();

// 10 times what ProviderValue gives plus what OrdinalOnlyValue gives: 12 unhooked.
extern "C" __declspec(dllexport) int ClientValue()
{
    return ProviderValue() * 10 + OrdinalOnlyValue();
}
