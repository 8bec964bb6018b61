// Every registry value type, with every data size from 0 to 4100 bytes, in each of the
// five settings values, read by the settings record. A model of the store decides what
// the record must hold after each read: a value the record cannot read makes its field
// take the default, a readable one is taken byte for byte (a number of at most 4 bytes
// replaces the field's leading bytes; a name of at most 2048 bytes is taken up to its
// first NUL). Reads never write: the key must hold exactly what the test wrote.
//
// The data is pseudo-random from a fixed seed. The ordinary run tries every type with
// the sizes at each limit; QVN_FUZZ_SCALE=N adds every (100/N)th size, and 100 tries
// every size.
#include "SHVSettings.h"

#include "support/FuzzScale.h"
#include "support/RegistrySnapshot.h"
#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace
{
constexpr unsigned Seed = 0x5E771265u;
const std::wstring SettingsPath = L"Software\\Quorvane\\ZARUZARA\\Settings";

// The five values in their fixed order; the first is the name, the others numbers.
constexpr const wchar_t* ValueNames[] = {L"ServerName", L"ServerPort", L"ServerTimeout", L"CacheTime",
                                         L"ValidationEnabled"};
constexpr std::uint32_t NumberDefaults[] = {2193, 10000, 180, 1};
constexpr std::size_t LongestName = 2048; // bytes
constexpr std::size_t LongestNumber = 4;  // bytes
constexpr std::size_t LargestSize = 4100; // bytes

// REG_NONE to REG_QWORD, and a type the system does not define.
constexpr DWORD ValueTypes[] = {REG_NONE,
                                REG_SZ,
                                REG_EXPAND_SZ,
                                REG_BINARY,
                                REG_DWORD,
                                REG_DWORD_BIG_ENDIAN,
                                REG_LINK,
                                REG_MULTI_SZ,
                                REG_RESOURCE_LIST,
                                REG_FULL_RESOURCE_DESCRIPTOR,
                                REG_RESOURCE_REQUIREMENTS_LIST,
                                REG_QWORD,
                                0x7FFF};

using StoredValue = std::pair<DWORD, std::vector<BYTE>>;

// What the record must hold, as the model computes it.
struct ModelRecord
{
    std::u16string name;
    std::array<std::uint32_t, 4> numbers{}; // port, time-out, cache time, validation
};

// The store's rules, applied to what the five values hold (nothing: the value is absent).
void ModelLoad(const std::array<std::optional<StoredValue>, 5>& stored, ModelRecord& record)
{
    const auto& name = stored[0];
    if (name && name->second.size() <= LongestName)
    {
        std::u16string text(name->second.size() / 2, u'\0');
        std::copy_n(name->second.begin(), text.size() * 2, reinterpret_cast<BYTE*>(text.data()));
        record.name = text.substr(0, text.find(u'\0'));
    }
    else
    {
        record.name = u"unspecified";
    }
    for (std::size_t i = 0; i < 4; ++i)
    {
        const auto& number = stored[i + 1];
        if (number && number->second.size() <= LongestNumber)
        {
            std::copy_n(number->second.begin(), number->second.size(), reinterpret_cast<BYTE*>(&record.numbers[i]));
        }
        else
        {
            record.numbers[i] = NumberDefaults[i];
        }
    }
}

RegistrySnapshot SnapshotOf(const std::array<std::optional<StoredValue>, 5>& stored)
{
    RegistrySnapshot snapshot;
    auto& values = snapshot[L""];
    for (std::size_t i = 0; i < 5; ++i)
    {
        if (stored[i])
        {
            values[ValueNames[i]] = *stored[i];
        }
    }
    return snapshot;
}

// Sizes to try: those at each limit (a number's 4 bytes, a name's 2048) and the largest;
// a scaled run adds more around powers of two and a stride through the rest, and a
// full one every size.
std::vector<std::size_t> SizesToTry()
{
    std::set<std::size_t> sizes = {0, 1, 2, 3, 4, 5, 6, 2045, 2046, 2047, 2048, 2049, 2050, LargestSize};
    const unsigned scale = FuzzScale();
    if (scale > 1)
    {
        sizes.insert(
            {7, 8, 254, 255, 256, 257, 510, 511, 512, 513, 514, 1022, 1023, 1024, 1025, 2051, 4094, 4095, 4096, 4097});
        const std::size_t stride = scale >= FullFuzzScale ? 1 : FullFuzzScale / scale;
        for (std::size_t size = 0; size <= LargestSize; size += stride)
        {
            sizes.insert(size);
        }
    }
    return {sizes.begin(), sizes.end()};
}

class ValueFuzzer
{
public:
    ValueFuzzer() : m_random(Seed)
    {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SettingsPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &m_key, nullptr),
                  ERROR_SUCCESS);
    }
    ~ValueFuzzer() { RegCloseKey(m_key); }
    ValueFuzzer(const ValueFuzzer&) = delete;
    ValueFuzzer& operator=(const ValueFuzzer&) = delete;

    const std::array<std::optional<StoredValue>, 5>& Stored() const { return m_stored; }

    // Random bytes in which a NUL code unit sits where the fuzzer puts one (at a random
    // place in half of the values), not where chance would.
    std::vector<BYTE> RandomData(std::size_t size)
    {
        std::vector<BYTE> data(size);
        for (BYTE& byte : data)
        {
            byte = static_cast<BYTE>(m_random());
        }
        for (std::size_t unit = 0; unit + 1 < size; unit += 2)
        {
            if (data[unit] == 0 && data[unit + 1] == 0)
            {
                data[unit] = 'x';
            }
        }
        if (size >= 2 && m_random() % 2 == 0)
        {
            const std::size_t unit = m_random() % (size / 2);
            data[2 * unit] = 0;
            data[2 * unit + 1] = 0;
        }
        return data;
    }

    void Write(std::size_t value, DWORD type, const std::vector<BYTE>& data)
    {
        // Two bytes past the end that are not NUL, so that the system has no reason to
        // count a terminator into string data.
        std::vector<BYTE> buffer = data;
        buffer.push_back(0xFF);
        buffer.push_back(0xFF);
        ASSERT_EQ(RegSetValueExW(m_key, ValueNames[value], 0, type, buffer.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS)
            << "type " << type << ", " << data.size() << " bytes";
        m_stored[value] = StoredValue{type, data};
    }

    void Remove(std::size_t value)
    {
        ASSERT_EQ(RegDeleteValueW(m_key, ValueNames[value]), ERROR_SUCCESS);
        m_stored[value].reset();
    }

private:
    HKEY m_key = nullptr;
    std::mt19937 m_random;
    std::array<std::optional<StoredValue>, 5> m_stored;
};

std::string Describe(const std::u16string& text)
{
    std::string out;
    for (char16_t unit : text.substr(0, 40))
    {
        out += unit >= 0x20 && unit < 0x7F ? std::string(1, char(unit)) : "\\u" + std::to_string(unsigned(unit));
    }
    return out + (text.size() > 40 ? "... (" + std::to_string(text.size()) + " units)" : "");
}

TEST(SHVSettingsFuzzTest, EveryValueTypeAndSizeInEachValue)
{
    ScratchRegistry scratch;
    ValueFuzzer fuzzer;
    const std::u16string startName = u"start.example";
    fuzzer.Write(0, REG_SZ,
                 std::vector<BYTE>(reinterpret_cast<const BYTE*>(startName.c_str()),
                                   reinterpret_cast<const BYTE*>(startName.c_str() + startName.size() + 1)));
    for (std::size_t value = 1; value < 5; ++value)
    {
        const std::uint32_t number = 1000 + static_cast<std::uint32_t>(value);
        fuzzer.Write(
            value, REG_DWORD,
            std::vector<BYTE>(reinterpret_cast<const BYTE*>(&number), reinterpret_cast<const BYTE*>(&number + 1)));
    }

    SHVSettings record = SHVSettings::CreateForTesting(); // loads the values above
    ModelRecord model;
    ModelLoad(fuzzer.Stored(), model);

    const std::vector<std::size_t> sizes = SizesToTry();
    unsigned long cases = 0;
    auto check = [&](const std::string& what) {
        ++cases;
        const std::wstring name = record.GetServerName(); // reloads every value
        SHVConfigBlob blob;
        record.ToBlob(&blob);
        ModelLoad(fuzzer.Stored(), model);
        const std::u16string actualName(name.begin(), name.end());
        EXPECT_TRUE(actualName == model.name)
            << what << ": the name is " << Describe(actualName) << ", not " << Describe(model.name);
        EXPECT_EQ(blob.serverPort, model.numbers[0]) << what;
        EXPECT_EQ(blob.serverTimeout, model.numbers[1]) << what;
        EXPECT_EQ(blob.cacheTime, model.numbers[2]) << what;
        EXPECT_EQ(blob.validationEnabled, model.numbers[3]) << what;
        const RegistrySnapshot stored = TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsPath);
        EXPECT_TRUE(stored == SnapshotOf(fuzzer.Stored())) << what << ": the key holds more or other than was written";
    };

    for (std::size_t value = 0; value < 5 && !HasFailure(); ++value)
    {
        const std::string valueName(ValueNames[value], ValueNames[value] + std::wcslen(ValueNames[value]));
        fuzzer.Remove(value);
        check(valueName + " absent");
        for (DWORD type : ValueTypes)
        {
            for (std::size_t size : sizes)
            {
                fuzzer.Write(value, type, fuzzer.RandomData(size));
                check(valueName + " of type " + std::to_string(type) + " with " + std::to_string(size) + " bytes");
                if (HasFailure())
                {
                    break;
                }
            }
        }
    }

    // The record writes what it holds in the fixed form: the name as text with its
    // terminator, the numbers as DWORDs.
    {
        System::Threading::ScopedLock guard(&record);
        ASSERT_EQ(record.Save(), S_OK);
    }
    std::array<std::optional<StoredValue>, 5> saved;
    std::u16string name = model.name + u'\0';
    saved[0] = StoredValue{REG_SZ, std::vector<BYTE>(reinterpret_cast<const BYTE*>(name.data()),
                                                     reinterpret_cast<const BYTE*>(name.data() + name.size()))};
    for (std::size_t i = 0; i < 4; ++i)
    {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&model.numbers[i]);
        saved[i + 1] = StoredValue{REG_DWORD, std::vector<BYTE>(bytes, bytes + 4)};
    }
    EXPECT_EQ(TakeRegistrySnapshot(HKEY_LOCAL_MACHINE, SettingsPath), SnapshotOf(saved));

    std::printf("%lu cases: %zu value types, %zu sizes, 5 values\n", cases, std::size(ValueTypes), sizes.size());
    RecordProperty("cases", static_cast<int>(cases));
    RecordProperty("value_types", static_cast<int>(std::size(ValueTypes)));
    RecordProperty("sizes", static_cast<int>(sizes.size()));
}
} // namespace
