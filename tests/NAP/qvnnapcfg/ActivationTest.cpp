// Real COM activation: Wine's regsvr32 registers the DLL in the prefix's own
// HKEY_CLASSES_ROOT, and this program, a client like the NAP host, creates the class
// through CoCreateInstance. Every test leaves the prefix unregistered.
//
// Wine hosts "Neutral" classes in the process's main apartment (its first single-
// threaded one) and has no proxy for INapComponentConfig: creation from any other
// apartment waits for that apartment or fails. So the test's own thread stays outside
// COM, each creating thread is the main apartment in its turn, and free-threaded use is
// shown by calling the created object directly from many threads.
#include "RegistrationState.h"
#include "SHVConfigBlob.h"

#include "support/ChildProcess.h"
#include "support/ComponentDll.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <cstring>
#include <thread>
#include <vector>

namespace
{
constexpr CLSID ClsidSHVConfig = {0x0C5C9CEC, 0x1FF7, 0x42E3, {0xAC, 0x8F, 0x4D, 0x9B, 0xAE, 0x29, 0x6C, 0x5D}};
const IID IidNapComponentConfig = __uuidof(INapComponentConfig);

// The DLL's own answer, from the copy COM loaded into this process.
HRESULT DllCanUnloadNow()
{
    HMODULE module = GetModuleHandleW(L"qvnnapcfg64.dll");
    auto function = module != nullptr ? reinterpret_cast<HRESULT(WINAPI*)()>(
                                            reinterpret_cast<void (*)()>(GetProcAddress(module, "DllCanUnloadNow")))
                                      : nullptr;
    return function != nullptr ? function() : E_UNEXPECTED;
}

std::vector<BYTE> MakeBlob(std::uint32_t port)
{
    SHVConfigBlob blob;
    std::memset(&blob, 0, sizeof(blob));
    blob.version = 1;
    std::memcpy(blob.serverName, u"nap.example.net", sizeof(u"nap.example.net"));
    blob.serverPort = port;
    blob.serverTimeout = 10000;
    blob.cacheTime = 180;
    blob.validationEnabled = 1;
    const auto* bytes = reinterpret_cast<const BYTE*>(&blob);
    return std::vector<BYTE>(bytes, bytes + sizeof(blob));
}

// Sets a blob and reads one back; the port read is one some thread wrote.
void ExchangeBlobs(INapComponentConfig* config, std::uint32_t port)
{
    std::vector<BYTE> blob = MakeBlob(port);
    EXPECT_EQ(config->SetConfig(static_cast<UINT16>(blob.size()), blob.data()), S_OK);
    UINT16 count = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(config->GetConfig(&count, &data), S_OK);
    ASSERT_EQ(count, sizeof(SHVConfigBlob));
    SHVConfigBlob read;
    std::memcpy(&read, data, sizeof(read));
    CoTaskMemFree(data);
    EXPECT_EQ(read.version, 1u);
    EXPECT_GE(read.serverPort, 1000u);
    EXPECT_LT(read.serverPort, 2000u);
}

class ActivationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(RunRegsvr32(L"/s \"" + dllPath + L"\""), 0u);
        ExpectRegistered(HKEY_CLASSES_ROOT, dllPath);
    }
    void TearDown() override
    {
        EXPECT_EQ(RunRegsvr32(L"/u /s \"" + dllPath + L"\""), 0u);
        ExpectUnregistered(HKEY_CLASSES_ROOT);
    }

    // Runs body on a new thread in a single-threaded apartment.
    template <class Body> static void InApartment(Body body)
    {
        std::thread([&] {
            ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            body();
            CoUninitialize();
        }).join();
    }

    ScratchRegistry settings; // the settings the objects write go to a scratch HKLM
    const std::wstring dllPath = PathBesideProgram(L"qvnnapcfg64.dll");
};

TEST_F(ActivationTest, CreatedInApartmentsUsedFromManyThreads)
{
    for (std::uint32_t apartment = 0; apartment < 3; ++apartment)
    {
        InApartment([apartment] {
            INapComponentConfig* config = nullptr;
            ASSERT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig,
                                       reinterpret_cast<void**>(&config)),
                      S_OK);
            ExchangeBlobs(config, 1000 + apartment);

            std::vector<std::thread> users;
            for (std::uint32_t i = 0; i < 6; ++i)
            {
                users.emplace_back([config, i] {
                    for (std::uint32_t round = 0; round < 20; ++round)
                    {
                        ExchangeBlobs(config, 1100 + i * 20 + round);
                    }
                });
            }
            for (std::thread& thread : users)
            {
                thread.join();
            }
            EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "an object is alive";
            EXPECT_EQ(config->Release(), 0u);
            EXPECT_EQ(DllCanUnloadNow(), S_OK) << "everything is released";
        });
    }
}

TEST_F(ActivationTest, UnregisteredClassIsNotFound)
{
    ASSERT_EQ(RunRegsvr32(L"/u /s \"" + dllPath + L"\""), 0u);
    ExpectUnregistered(HKEY_CLASSES_ROOT);
    InApartment([] {
        void* config = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(ClsidSHVConfig, nullptr, CLSCTX_INPROC_SERVER, IidNapComponentConfig, &config),
                  REGDB_E_CLASSNOTREG);
        EXPECT_EQ(config, nullptr);
    });
}
} // namespace
