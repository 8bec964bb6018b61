// Scaled fuzzing of the blob exchange through the shipped DLL: every SetConfig count,
// random 532-byte blobs and near-valid ones (version 1, random fields). After every call
// a model of the exchange decides what GetConfig must return and what the settings key
// must hold, byte for byte; from time to time the DLL is loaded afresh, so that the
// record is read back from the registry.
//
// The seeds are fixed. The ordinary run takes a hundredth of the full counts;
// QVN_FUZZ_SCALE=100 runs all 65536 counts and 100,000 blobs of each kind.
#include "SHVConfigBlob.h"

#include "support/ComponentDll.h"
#include "support/FuzzScale.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>
#include <napcommon.h>

#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace
{
const std::wstring SettingsPath = L"Software\\Quorvane\\ZARUZARA\\Settings";
constexpr std::size_t BlobSize = 532;
constexpr std::size_t NameUnits = 256;

using Bytes = std::vector<BYTE>;

Bytes BytesOf(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const BYTE*>(data);
    return Bytes(bytes, bytes + size);
}

std::uint32_t ReadUint32(const Bytes& blob, std::size_t offset)
{
    return std::uint32_t(blob[offset]) | std::uint32_t(blob[offset + 1]) << 8 | std::uint32_t(blob[offset + 2]) << 16 |
           std::uint32_t(blob[offset + 3]) << 24;
}

void WriteUint32(Bytes& blob, std::size_t offset, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
    {
        blob[offset + i] = static_cast<BYTE>(value >> (8 * i));
    }
}

// The settings as the component must hold them. The layout is the blob's: version at 0,
// the name in 256 UTF-16LE units at 4, then port, time-out, cache time and validation.
class ExchangeModel
{
public:
    // A blob of version 1 replaces everything: the name up to its first NUL (within its
    // field), the numbers as they are; all five values are written. Others change nothing.
    void Apply(const Bytes& blob)
    {
        if (ReadUint32(blob, 0) != 1)
        {
            return;
        }
        m_name.clear();
        for (std::size_t unit = 0; unit < NameUnits; ++unit)
        {
            const char16_t c = char16_t(blob[4 + 2 * unit] | blob[5 + 2 * unit] << 8);
            if (c == u'\0')
            {
                break;
            }
            m_name += c;
        }
        for (std::size_t i = 0; i < 4; ++i)
        {
            m_numbers[i] = ReadUint32(blob, 516 + 4 * i);
        }
        m_written = true;
    }

    // GetConfig: version 1, the name cut to 255 units and NUL-filled, the numbers.
    Bytes Blob() const
    {
        Bytes blob(BlobSize, 0);
        WriteUint32(blob, 0, 1);
        for (std::size_t unit = 0; unit < m_name.size() && unit < NameUnits - 1; ++unit)
        {
            blob[4 + 2 * unit] = static_cast<BYTE>(m_name[unit]);
            blob[5 + 2 * unit] = static_cast<BYTE>(m_name[unit] >> 8);
        }
        for (std::size_t i = 0; i < 4; ++i)
        {
            WriteUint32(blob, 516 + 4 * i, m_numbers[i]);
        }
        return blob;
    }

    // The key: empty until a blob was applied, then the five values in their written form.
    RegistrySnapshot Registry() const
    {
        RegistrySnapshot snapshot;
        auto& values = snapshot[L""];
        if (!m_written)
        {
            return snapshot;
        }
        const std::u16string name = m_name + u'\0';
        values[L"ServerName"] = {REG_SZ, BytesOf(name.data(), name.size() * 2)};
        const wchar_t* numberNames[] = {L"ServerPort", L"ServerTimeout", L"CacheTime", L"ValidationEnabled"};
        for (std::size_t i = 0; i < 4; ++i)
        {
            values[numberNames[i]] = {REG_DWORD, BytesOf(&m_numbers[i], 4)};
        }
        return snapshot;
    }

    bool Written() const { return m_written; }

private:
    std::u16string m_name = u"unspecified";
    std::uint32_t m_numbers[4] = {2193, 10000, 180, 1};
    bool m_written = false;
};

class SHVConfigFuzzTest : public ::testing::Test
{
protected:
    void SetUp() override { Create(); }
    void TearDown() override { Release(); }

    void Create()
    {
        dll.emplace();
        IClassFactory* factory = dll->Factory();
        ASSERT_NE(factory, nullptr);
        ASSERT_EQ(factory->CreateInstance(nullptr, __uuidof(INapComponentConfig), reinterpret_cast<void**>(&config)),
                  S_OK);
        factory->Release();
    }
    void Release()
    {
        if (config != nullptr)
        {
            config->Release();
            config = nullptr;
        }
        dll.reset();
    }
    // A fresh load: the next call creates the record from what the registry holds.
    void Reload()
    {
        Release();
        ASSERT_TRUE(UnloadComponentDllCompletely());
        Create();
        ++reloads;
    }

    // GetConfig and the key must be what the model says.
    void ExpectAsModelled(const ExchangeModel& model, const std::string& what)
    {
        UINT16 count = 0;
        BYTE* data = nullptr;
        ASSERT_EQ(config->GetConfig(&count, &data), S_OK) << what;
        const Bytes blob(data, data + count);
        CoTaskMemFree(data);
        EXPECT_TRUE(blob == model.Blob()) << what << ": GetConfig differs";
        EXPECT_TRUE(TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsPath) == model.Registry())
            << what << ": the key differs:\n"
            << DescribeRegistrySnapshot(TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsPath));
    }

    FreshComponentLoad fresh;
    ScratchRegistry scratch;
    std::optional<ComponentDll> dll;
    INapComponentConfig* config = nullptr;
    int reloads = 0;
};

TEST_F(SHVConfigFuzzTest, EveryCountButTheBlobSizeIsRefusedUntouched)
{
    const unsigned scale = FuzzScale();
    const unsigned stride = scale >= FullFuzzScale ? 1 : FullFuzzScale / scale;
    std::set<unsigned> counts = {0, 1, 2, 4, 531, 532, 533, 1064, 65534, 65535};
    for (unsigned count = 0; count <= 0xFFFF; count += stride)
    {
        counts.insert(count);
    }

    // The blob a wrongly accepted count would apply carries that count as its port.
    Bytes buffer(0x10000, 0xA5);
    const Bytes valid = ExchangeModel().Blob();
    std::copy(valid.begin(), valid.end(), buffer.begin());
    ExchangeModel model;
    for (unsigned count : counts)
    {
        WriteUint32(buffer, 516, count);
        const Bytes before = buffer;
        const HRESULT hr = config->SetConfig(static_cast<UINT16>(count), buffer.data());
        EXPECT_EQ(hr, count == BlobSize ? S_OK : E_FAIL) << "count " << count;
        EXPECT_TRUE(buffer == before) << "count " << count << ": the caller's bytes changed";
        if (count == BlobSize)
        {
            model.Apply(Bytes(buffer.begin(), buffer.begin() + BlobSize));
        }
        ExpectAsModelled(model, "count " + std::to_string(count));
        if (HasFailure())
        {
            break;
        }
    }
    std::printf("%zu counts\n", counts.size());
    RecordProperty("counts", static_cast<int>(counts.size()));
}

TEST_F(SHVConfigFuzzTest, RandomBlobs)
{
    const unsigned long cases = ScaledCount(100000);
    std::mt19937 random(0xB10B5u);
    ExchangeModel model;
    unsigned long applied = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i)
    {
        Bytes blob(BlobSize);
        for (BYTE& byte : blob)
        {
            byte = static_cast<BYTE>(random());
        }
        ASSERT_EQ(config->SetConfig(BlobSize, blob.data()), S_OK);
        model.Apply(blob);
        applied += ReadUint32(blob, 0) == 1 ? 1 : 0;
        ExpectAsModelled(model, "random blob " + std::to_string(i));
    }
    Reload();
    ExpectAsModelled(model, "after a fresh load");
    std::printf("%lu random blobs, %lu of version 1\n", cases, applied);
    RecordProperty("blobs", static_cast<int>(cases));
    RecordProperty("applied", static_cast<int>(applied));
}

TEST_F(SHVConfigFuzzTest, NearValidBlobs)
{
    constexpr unsigned long ReloadEvery = 1000;
    const unsigned long cases = ScaledCount(100000);
    std::mt19937 random(0x4EA4B10Bu);
    ExchangeModel model;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i)
    {
        // Version 1; a name of 0 to 256 units of any value but NUL, then (when it is
        // shorter than its field) a NUL and garbage; random numbers.
        Bytes blob(BlobSize);
        for (BYTE& byte : blob)
        {
            byte = static_cast<BYTE>(random());
        }
        WriteUint32(blob, 0, 1);
        const std::size_t length = random() % (NameUnits + 1);
        for (std::size_t unit = 0; unit < length; ++unit)
        {
            const char16_t c = char16_t(1 + random() % 0xFFFF);
            blob[4 + 2 * unit] = static_cast<BYTE>(c);
            blob[5 + 2 * unit] = static_cast<BYTE>(c >> 8);
        }
        if (length < NameUnits)
        {
            blob[4 + 2 * length] = 0;
            blob[5 + 2 * length] = 0;
        }
        ASSERT_EQ(config->SetConfig(BlobSize, blob.data()), S_OK);
        model.Apply(blob);
        ExpectAsModelled(model,
                         "near-valid blob " + std::to_string(i) + " (name of " + std::to_string(length) + " units)");
        if ((i + 1) % ReloadEvery == 0)
        {
            Reload();
            ExpectAsModelled(model, "after a fresh load at blob " + std::to_string(i));
        }
    }
    Reload();
    ExpectAsModelled(model, "after a fresh load");
    std::printf("%lu near-valid blobs, %d fresh loads\n", cases, reloads);
    RecordProperty("blobs", static_cast<int>(cases));
    RecordProperty("fresh_loads", reloads);
}
} // namespace
