// Exports one function by name and one by ordinal only (see HookProvider.def), for the
// import-table hooking tests.
extern "C" int ProviderValue()
{
    return 1;
}

extern "C" int OrdinalOnlyValue()
{
    return 2;
}
