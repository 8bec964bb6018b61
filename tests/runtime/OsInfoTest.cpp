// Operating-system identification: the naming rules, driven by a probe that answers
// what each case gives it, and the real probe against what Wine reports.
#include "runtime/os_info.h"

#include "support/ScratchRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace
{
const char current_version[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char product_options[] = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

// Answers exactly what a case sets, and records what it was asked.
class fake_os_probe_t : public if_os_probe_t
{
public:
    std::optional<OSVERSIONINFOEXA> extended; // the answer to the 156-byte query
    std::optional<OSVERSIONINFOEXA> basic;    // the answer to the 148-byte query
    std::optional<std::uint16_t> architecture;
    std::optional<DWORD> product;
    std::map<std::string, std::string> registry; // "<subkey>\\<value>" -> text

    std::vector<DWORD> product_question;
    std::vector<std::string> registry_questions;

    bool version(OSVERSIONINFOEXA& version) override
    {
        if (version.dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA) && extended)
        {
            version = *extended;
            return true;
        }
        if (version.dwOSVersionInfoSize == sizeof(OSVERSIONINFOA) && basic)
        {
            std::memcpy(&version, &*basic, sizeof(OSVERSIONINFOA)); // the basic part only
            return true;
        }
        return false;
    }
    bool native_processor_architecture(std::uint16_t& answer) override
    {
        if (architecture)
        {
            answer = *architecture;
        }
        return architecture.has_value();
    }
    bool product_type(DWORD major, DWORD minor, DWORD sp_major, DWORD sp_minor, DWORD& type) override
    {
        product_question = {major, minor, sp_major, sp_minor};
        if (product)
        {
            type = *product;
        }
        return product.has_value();
    }
    bool registry_text(const char* subkey, const char* value, std::size_t size, std::string& text) override
    {
        const std::string name = std::string(subkey) + "\\" + value;
        registry_questions.push_back(name + "/" + std::to_string(size));
        const auto found = registry.find(name);
        if (found == registry.end())
        {
            return false;
        }
        text = found->second;
        return true;
    }
};

OSVERSIONINFOEXA nt_version(DWORD major, DWORD minor, DWORD build, BYTE product_type, WORD suite = 0,
                            const char* service_pack = "", WORD sp_major = 0)
{
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = build;
    version.dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::strcpy(version.szCSDVersion, service_pack);
    version.wServicePackMajor = sp_major;
    version.wSuiteMask = suite;
    version.wProductType = product_type;
    return version;
}

OSVERSIONINFOEXA old_version(DWORD platform, DWORD major, DWORD minor, DWORD build, const char* service_pack = "")
{
    OSVERSIONINFOEXA version{};
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = build;
    version.dwPlatformId = platform;
    std::strcpy(version.szCSDVersion, service_pack);
    return version;
}

fake_os_probe_t x64_probe(const OSVERSIONINFOEXA& version, std::optional<DWORD> product = std::nullopt)
{
    fake_os_probe_t probe;
    probe.extended = version;
    probe.architecture = PROCESSOR_ARCHITECTURE_AMD64;
    probe.product = product;
    return probe;
}

os_info_t detect(fake_os_probe_t& probe)
{
    os_info_t info;
    std::memset(&info, 0x5A, sizeof info); // whatever was there before
    detect_os(info, probe);
    return info;
}

struct expected_code_t
{
    std::uint32_t arch, platform, release, server, edition;
};

void expect_code(std::uint32_t code, expected_code_t expected)
{
    EXPECT_EQ(os_family(code), os_family_windows);
    EXPECT_EQ(os_arch(code), expected.arch);
    EXPECT_EQ(os_platform(code), expected.platform);
    EXPECT_EQ(os_release(code), expected.release);
    EXPECT_EQ(code & os_server_bit, expected.server);
    EXPECT_EQ(os_edition(code), expected.edition);
    EXPECT_EQ(code & 0x80000000u, 0u);
}

TEST(DetectOsTest, Windows7Sp1Ultimate)
{
    auto probe = x64_probe(nt_version(6, 1, 7601, VER_NT_WORKSTATION, 0x100, "Service Pack 1", 1), 1);
    const os_info_t info = detect(probe);
    expect_code(info.code, {2, 3, 8, 0, 6});
    EXPECT_EQ(info.code, 0x02230806u);
    EXPECT_STREQ(info.description, "Windows 7 Ultimate x64 (Build 7601), Service Pack 1");
    EXPECT_STREQ(info.platform, "win-nt-64");
    EXPECT_STREQ(info.release, "Windows_7");
    EXPECT_STREQ(info.arch, "x64");
    EXPECT_EQ(probe.product_question, (std::vector<DWORD>{6, 1, 1, 0}));
    EXPECT_TRUE(probe.registry_questions.empty()) << "GetProductInfo named the edition";
}

TEST(DetectOsTest, Server2008R2Sp1Enterprise)
{
    auto probe = x64_probe(nt_version(6, 1, 7601, VER_NT_SERVER, VER_SUITE_DATACENTER, "Service Pack 1", 1), 10);
    const os_info_t info = detect(probe);
    expect_code(info.code, {2, 3, 9, 0x80, 3});
    EXPECT_STREQ(info.description, "Windows Server 2008 R2 Enterprise x64 (Build 7601), Service Pack 1")
        << "an edition from GetProductInfo wins over the suite mask";
    EXPECT_STREQ(info.release, "Windows_Server 2008 R2");
}

TEST(DetectOsTest, WindowsXpEditionsFollowThePersonalBit)
{
    fake_os_probe_t probe;
    probe.extended = nt_version(5, 1, 2600, VER_NT_WORKSTATION, 0, "Service Pack 3", 3);
    probe.architecture = PROCESSOR_ARCHITECTURE_INTEL;
    os_info_t info = detect(probe);
    expect_code(info.code, {0, 3, 4, 0, 2});
    EXPECT_STREQ(info.description, "Windows XP Professional x86 (Build 2600), Service Pack 3");
    EXPECT_STREQ(info.platform, "win-nt-32");
    EXPECT_STREQ(info.arch, "x86");
    EXPECT_TRUE(probe.product_question.empty()) << "GetProductInfo is for NT 6 and later";

    probe.extended->wSuiteMask = VER_SUITE_PERSONAL;
    info = detect(probe);
    expect_code(info.code, {0, 3, 4, 0, 1});
    EXPECT_STREQ(info.description, "Windows XP Home Edition x86 (Build 2600), Service Pack 3");
}

// Every release the NT rules name, as a workstation (GetProductInfo: Ultimate) and as a
// server (GetProductInfo: Standard), with the edition each release's own rule adds.
TEST(DetectOsTest, EveryNtReleaseRow)
{
    const struct
    {
        DWORD major, minor;
        BYTE product_type;
        std::uint32_t release;
        const char* release_name;
        std::uint32_t edition;
        const char* description;
        const char* platform;
    } rows[] = {
        {3, 51, VER_NT_WORKSTATION, 1, "NT3", 0, "Windows NT3 x86 (Build 1000)", "win-nt-3"},
        {4, 0, VER_NT_WORKSTATION, 2, "NT4", 1, "Windows NT4 Workstation x86 (Build 1000)", "win-nt-4"},
        {5, 0, VER_NT_WORKSTATION, 3, "2000", 2, "Windows 2000 Professional x64 (Build 1000)", "win-nt-64"},
        {5, 1, VER_NT_WORKSTATION, 4, "XP", 2, "Windows XP Professional x64 (Build 1000)", "win-nt-64"},
        {5, 2, VER_NT_WORKSTATION, 5, "Server 2003", 2, "Windows Server 2003 Professional x64 (Build 1000)",
         "win-nt-64"},
        {5, 3, VER_NT_WORKSTATION, 0, "", 2, "Windows  Professional x64 (Build 1000)", "win-nt-64"},
        {6, 0, VER_NT_WORKSTATION, 6, "Vista", 6, "Windows Vista Ultimate x64 (Build 1000)", "win-nt-64"},
        {6, 1, VER_NT_WORKSTATION, 8, "7", 6, "Windows 7 Ultimate x64 (Build 1000)", "win-nt-64"},
        {6, 2, VER_NT_WORKSTATION, 10, "8", 6, "Windows 8 Ultimate x64 (Build 1000)", "win-nt-64"},
        {6, 3, VER_NT_WORKSTATION, 10, "Brand new", 6, "Windows Brand new Ultimate x64 (Build 1000)", "win-nt-64"},
        {6, 4, VER_NT_WORKSTATION, 10, "Brand new", 6, "Windows Brand new Ultimate x64 (Build 1000)", "win-nt-64"},
        {7, 0, VER_NT_WORKSTATION, 0, "", 6, "Windows  Ultimate x64 (Build 1000)", "win-nt-64"},
        {3, 51, VER_NT_SERVER, 1, "NT3", 1, "Windows NT3 Server x86 (Build 1000)", "win-nt-3"},
        {4, 0, VER_NT_SERVER, 2, "NT4", 1, "Windows NT4 Server x86 (Build 1000)", "win-nt-4"},
        {5, 0, VER_NT_SERVER, 3, "2000", 1, "Windows 2000 Server x64 (Build 1000)", "win-nt-64"},
        {5, 2, VER_NT_SERVER, 5, "Server 2003", 1, "Windows Server 2003 Standard x64 (Build 1000)", "win-nt-64"},
        {5, 3, VER_NT_SERVER, 0, "", 1, "Windows  Server x64 (Build 1000)", "win-nt-64"},
        {6, 0, VER_NT_SERVER, 7, "Server 2008", 1, "Windows Server 2008 Standard x64 (Build 1000)", "win-nt-64"},
        {6, 1, VER_NT_SERVER, 9, "Server 2008 R2", 1, "Windows Server 2008 R2 Standard x64 (Build 1000)", "win-nt-64"},
        {6, 2, VER_NT_SERVER, 11, "Server 2012", 1, "Windows Server 2012 Standard x64 (Build 1000)", "win-nt-64"},
        {6, 3, VER_NT_SERVER, 11, "Server 2012", 1, "Windows Server 2012 Standard x64 (Build 1000)", "win-nt-64"},
        {6, 4, VER_NT_SERVER, 11, "Server 2012", 1, "Windows Server 2012 Standard x64 (Build 1000)", "win-nt-64"},
        {7, 0, VER_NT_SERVER, 0, "", 1, "Windows  Server x64 (Build 1000)", "win-nt-64"},
    };
    for (const auto& row : rows)
    {
        const bool server = row.product_type != VER_NT_WORKSTATION;
        auto probe = x64_probe(nt_version(row.major, row.minor, 1000, row.product_type), server ? 7 : 1);
        const os_info_t info = detect(probe);
        SCOPED_TRACE(testing::Message() << row.major << "." << row.minor << (server ? " server" : " workstation"));
        expect_code(info.code, {row.major >= 5 ? os_arch_x64 : os_arch_x86, os_platform_nt, row.release,
                                server ? os_server_bit : 0u, row.edition});
        EXPECT_STREQ(info.description, row.description);
        EXPECT_STREQ(info.platform, row.platform);
        EXPECT_EQ(std::string(info.release), std::string("Windows_") + row.release_name);
    }
}

TEST(DetectOsTest, DomainControllerIsAServer)
{
    auto server62 = x64_probe(nt_version(6, 2, 9200, VER_NT_DOMAIN_CONTROLLER, VER_SUITE_DATACENTER));
    const os_info_t info = detect(server62);
    expect_code(info.code, {2, 3, 11, 0x80, 4});
    EXPECT_STREQ(info.description, "Windows Server 2012 Datacenter x64 (Build 9200)");
}

TEST(DetectOsTest, ProductTypes98To101NameAnEmptyEdition)
{
    for (DWORD type = 98; type <= 101; ++type)
    {
        auto probe = x64_probe(nt_version(6, 2, 9200, VER_NT_WORKSTATION), type);
        const os_info_t info = detect(probe);
        expect_code(info.code, {2, 3, 10, 0, 3});
        EXPECT_STREQ(info.description, "Windows 8 x64 (Build 9200)") << "type " << type;
        EXPECT_TRUE(probe.registry_questions.empty()) << "an empty name counts as found";
    }
}

TEST(DetectOsTest, Nt10ServerHasNoReleaseName)
{
    auto probe = x64_probe(nt_version(10, 0, 14393, VER_NT_SERVER), 10);
    os_info_t info = detect(probe);
    expect_code(info.code, {2, 3, 0, 0x80, 3}); // Enterprise's 3 from GetProductInfo, Server's 1 or-ed on
    EXPECT_STREQ(info.description, "Windows  Server x64 (Build 14393)");
    EXPECT_STREQ(info.release, "Windows_");

    probe.extended->wSuiteMask = VER_SUITE_ENTERPRISE;
    probe.product = 7;
    info = detect(probe);
    EXPECT_STREQ(info.description, "Windows  Enterprise Server x64 (Build 14393)");
    EXPECT_EQ(os_edition(info.code), 3u);
}

TEST(DetectOsTest, ServerSuitesWithoutProductInfo)
{
    const struct
    {
        WORD suite;
        const char* edition;
        std::uint32_t code;
    } cases[] = {
        {VER_SUITE_COMPUTE_SERVER, "Compute Cluster", 6},
        {VER_SUITE_STORAGE_SERVER, "Storage", 5},
        {VER_SUITE_DATACENTER | VER_SUITE_ENTERPRISE, "Datacenter", 4},
        {VER_SUITE_ENTERPRISE | VER_SUITE_TERMINAL, "Enterprise", 3},
        {VER_SUITE_COMPUTE_SERVER | VER_SUITE_ENTERPRISE, "Enterprise", 3},
        {VER_SUITE_BLADE, "Web", 2},
        {VER_SUITE_BLADE | VER_SUITE_TERMINAL, "Standard", 1},
        {0, "Standard", 1},
    };
    for (const auto& c : cases)
    {
        auto probe = x64_probe(nt_version(6, 0, 6002, VER_NT_SERVER, c.suite, "Service Pack 2", 2));
        const os_info_t info = detect(probe);
        expect_code(info.code, {2, 3, 7, 0x80, c.code});
        EXPECT_EQ(info.description,
                  "Windows Server 2008 " + std::string(c.edition) + " x64 (Build 6002), Service Pack 2")
            << "suite " << c.suite;
    }

    auto unknown_type = x64_probe(nt_version(6, 0, 6002, VER_NT_SERVER, VER_SUITE_ENTERPRISE), 104);
    EXPECT_STREQ(detect(unknown_type).description, "Windows Server 2008 Enterprise x64 (Build 6002)")
        << "a product type without edition leaves the suite rule in charge";

    auto server2003 = x64_probe(nt_version(5, 2, 3790, VER_NT_SERVER, VER_SUITE_BLADE));
    EXPECT_STREQ(detect(server2003).description, "Windows Server 2003 Web x64 (Build 3790)");
}

TEST(DetectOsTest, Windows2000Servers)
{
    const struct
    {
        WORD suite;
        const char* description;
        std::uint32_t code;
    } cases[] = {
        {VER_SUITE_DATACENTER | VER_SUITE_ENTERPRISE, "Windows 2000 Datacenter x86 (Build 2195), Service Pack 4", 3},
        {VER_SUITE_ENTERPRISE, "Windows 2000 Advanced Server x86 (Build 2195), Service Pack 4", 2},
        {0, "Windows 2000 Server x86 (Build 2195), Service Pack 4", 1},
    };
    for (const auto& c : cases)
    {
        fake_os_probe_t probe;
        probe.extended = nt_version(5, 0, 2195, VER_NT_DOMAIN_CONTROLLER, c.suite, "Service Pack 4", 4);
        probe.architecture = PROCESSOR_ARCHITECTURE_INTEL;
        const os_info_t info = detect(probe);
        expect_code(info.code, {0, 3, 3, 0x80, c.code});
        EXPECT_STREQ(info.description, c.description);
    }
}

TEST(DetectOsTest, ArchitectureFromTheNativeSystem)
{
    auto probe = x64_probe(nt_version(6, 0, 6000, VER_NT_WORKSTATION), 4);
    probe.architecture = PROCESSOR_ARCHITECTURE_IA64;
    os_info_t info = detect(probe);
    EXPECT_EQ(os_arch(info.code), os_arch_ia64);
    EXPECT_STREQ(info.platform, "win-nt-ia64");
    EXPECT_STREQ(info.arch, "IA64");
    EXPECT_STREQ(info.description, "Windows Vista Enterprise IA64 (Build 6000)");

    probe.architecture.reset(); // GetNativeSystemInfo missing
    info = detect(probe);
    EXPECT_EQ(os_arch(info.code), os_arch_x86);
    EXPECT_STREQ(info.platform, "win-nt-32");
    EXPECT_STREQ(info.arch, "x86");
}

TEST(DetectOsTest, Windows9xAndWin32s)
{
    fake_os_probe_t probe; // no extended structure on these
    probe.basic = old_version(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, " C");
    os_info_t info = detect(probe);
    expect_code(info.code, {0, 2, 1, 0, 0});
    EXPECT_STREQ(info.description, "Windows 95 OSR2 x86 (Build 950)");
    EXPECT_STREQ(info.platform, "win-9x");
    EXPECT_STREQ(info.release, "Windows_95");
    EXPECT_STREQ(info.arch, "x86");

    probe.basic = old_version(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, " A");
    EXPECT_STREQ(detect(probe).description, "Windows 95 x86 (Build 950)");
    probe.basic = old_version(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, " A ");
    EXPECT_STREQ(detect(probe).description, "Windows 98 SE x86 (Build 2222)");
    probe.basic = old_version(VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8, " ");
    info = detect(probe);
    expect_code(info.code, {0, 2, 3, 0, 0});
    EXPECT_STREQ(info.description, "Windows ME x86 (Build 3000)");
    probe.basic = old_version(VER_PLATFORM_WIN32_WINDOWS, 4, 50, 1);
    info = detect(probe);
    expect_code(info.code, {0, 2, 0, 0, 0});
    EXPECT_STREQ(info.description, "Windows  x86 (Build 1)");

    probe.basic = old_version(VER_PLATFORM_WIN32s, 3, 10, 0x12345678, "Win32s 1.30");
    info = detect(probe);
    expect_code(info.code, {0, 1, 0, 0, 0});
    EXPECT_STREQ(info.description, "Windows 32s x86 (Build 22136)") << "no service-pack text outside NT";
    EXPECT_STREQ(info.platform, "win-32");
    EXPECT_STREQ(info.release, "Windows_32s");

    probe.basic = old_version(7, 1, 0, 5);
    info = detect(probe);
    EXPECT_EQ(info.code, 0x02000000u);
    EXPECT_STREQ(info.description, "Windows  x86 (Build 5)");
    EXPECT_STREQ(info.platform, "win");
}

TEST(DetectOsTest, EarlyNtEditionFromProductOptions)
{
    fake_os_probe_t probe;
    probe.basic = old_version(VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 5");
    const struct
    {
        std::optional<std::string> product_type;
        const char* description;
        std::uint32_t server, edition;
    } cases[] = {
        {"LANMANNT", "Windows NT4 Server x86 (Build 1381), Service Pack 5", 0x80, 1},
        {"lanmanNT", "Windows NT4 Server x86 (Build 1381), Service Pack 5", 0x80, 1},
        {"ServerNT", "Windows NT4 Advanced Server x86 (Build 1381), Service Pack 5", 0x80, 2},
        {"WinNT", "Windows NT4 Workstation x86 (Build 1381), Service Pack 5", 0, 1},
        {"WINNT2", "Windows NT4 x86 (Build 1381), Service Pack 5", 0, 0},
        {std::nullopt, "Windows NT4 x86 (Build 1381), Service Pack 5", 0, 0},
    };
    for (const auto& c : cases)
    {
        probe.registry.clear();
        probe.registry_questions.clear();
        if (c.product_type)
        {
            probe.registry[std::string(product_options) + "\\ProductType"] = *c.product_type;
        }
        const os_info_t info = detect(probe);
        expect_code(info.code, {0, 3, 2, c.server, c.edition});
        EXPECT_STREQ(info.description, c.description);
        EXPECT_STREQ(info.platform, "win-nt-4");
        EXPECT_EQ(probe.registry_questions,
                  (std::vector<std::string>{std::string(product_options) + "\\ProductType/64"}));
    }
}

TEST(DetectOsTest, Nt6WorkstationEditionFromTheRegistry)
{
    const std::string edition_id = std::string(current_version) + "\\EditionID";
    const std::string product_name = std::string(current_version) + "\\ProductName";
    const struct
    {
        std::map<std::string, std::string> registry;
        const char* description;
        std::uint32_t edition;
        std::size_t questions;
    } cases[] = {
        {{{edition_id, "Starter"}}, "Windows 7 Starter x64 (Build 7600)", 1, 1},
        {{{edition_id, "HOMEBASIC"}}, "Windows 7 Basic x64 (Build 7600)", 2, 1},
        {{{edition_id, "HomePremium"}}, "Windows 7 Premium x64 (Build 7600)", 3, 1},
        {{{edition_id, "Professional"}}, "Windows 7 Professional x64 (Build 7600)", 7, 1},
        {{{edition_id, "Enterprise"}}, "Windows 7 Enterprise x64 (Build 7600)", 4, 1},
        {{{edition_id, "Business"}}, "Windows 7 Business x64 (Build 7600)", 5, 1},
        {{{edition_id, "Ultimate"}}, "Windows 7 Ultimate x64 (Build 7600)", 6, 1},
        {{{edition_id, "Cluster"}}, "Windows 7 Starter x64 (Build 7600)", 1, 1},
        {{{edition_id, "StarterProfessional"}}, "Windows 7 Starter x64 (Build 7600)", 1, 1}, // first match wins
        {{{product_name, "Windows 7 Ultimate"}}, "Windows 7 Ultimate x64 (Build 7600)", 6, 2},
        {{}, "Windows 7 Starter x64 (Build 7600)", 0, 2},
    };
    for (const auto& c : cases)
    {
        auto probe = x64_probe(nt_version(6, 1, 7600, VER_NT_WORKSTATION), 0x200); // a type without edition
        probe.registry = c.registry;
        const os_info_t info = detect(probe);
        expect_code(info.code, {2, 3, 8, 0, c.edition});
        EXPECT_STREQ(info.description, c.description);
        ASSERT_EQ(probe.registry_questions.size(), c.questions);
        EXPECT_EQ(probe.registry_questions[0], edition_id + "/128");
        if (c.questions > 1)
        {
            EXPECT_EQ(probe.registry_questions[1], product_name + "/128");
        }
    }

    auto nt10 = x64_probe(nt_version(10, 0, 19045, VER_NT_WORKSTATION));
    EXPECT_STREQ(detect(nt10).description, "Windows  x64 (Build 19045)") << "the registry rule is for NT 6 only";
    EXPECT_TRUE(nt10.registry_questions.empty());
}

TEST(DetectOsTest, UnreadableVersionIsDescribedAsUnknown)
{
    fake_os_probe_t probe;
    const os_info_t info = detect(probe);
    EXPECT_EQ(info.code, 0u);
    EXPECT_STREQ(info.description, "Windows (unknown version)");
    EXPECT_STREQ(info.platform, "win");
    EXPECT_STREQ(info.release, "Windows_");
    EXPECT_STREQ(info.arch, "x86");

    EXPECT_FALSE(os_info_create(probe)) << "the module refuses to load instead";
    EXPECT_EQ(os_info(), nullptr);
}

TEST(DetectOsTest, ServicePackTextWithoutTerminatorIsReadToItsEnd)
{
    auto probe = x64_probe(nt_version(6, 1, 0x7FFFFFFF, VER_NT_WORKSTATION), 28);
    std::memset(probe.extended->szCSDVersion, 'S', sizeof probe.extended->szCSDVersion);
    const os_info_t info = detect(probe);
    EXPECT_EQ(std::string(info.description), "Windows 7 Ultimate x64 (Build 65535), " + std::string(128, 'S'));
}

TEST(ProductEditionTest, NamesOrTheirCodeIntoTheRecord)
{
    os_info_t info{};
    info.code = 0x02230880;
    EXPECT_STREQ(product_edition(72, info), "Enterprise");
    EXPECT_EQ(info.code, 0x02230884u) << "or-ed, never assigned";
    EXPECT_STREQ(product_edition(33, info), "Foundation");
    EXPECT_EQ(info.code, 0x0223088Cu);
}

// Every product type GetProductInfo may answer: the edition it names and the code it ors
// in; any type not listed names none and leaves the code alone.
TEST(ProductEditionTest, EveryProductType)
{
    const struct
    {
        const char* name;
        std::uint32_t code;
        std::vector<std::uint32_t> types;
    } editions[] = {
        {"Ultimate", 6, {1, 28, 71}},
        {"Basic", 2, {2, 5, 67}},
        {"Premium", 3, {3, 26, 68}},
        {"Enterprise", 4, {4, 27, 70, 72, 84}},
        {"Business", 5, {6, 16}},
        {"Standard", 1, {7, 13, 36, 40, 52, 53, 79}},
        {"Datacenter", 4, {8, 12, 37, 39, 80}},
        {"Enterprise", 3, {10, 14, 15, 38, 41}},
        {"Starter", 1, {11, 47, 66}},
        {"Web", 2, {17, 29}},
        {"Compute Cluster", 6, {18, 64}},
        {"Storage", 5, {19, 20, 21, 22, 23, 43, 44, 45, 46, 95, 96}},
        {"Foundation", 8, {33}},
        {"Professional", 7, {48, 49, 69, 103}},
        {"Essentials", 9, {59, 60, 61, 62}},
        {"", 3, {98, 99, 100, 101}},
    };
    std::map<std::uint32_t, std::pair<const char*, std::uint32_t>> named;
    for (const auto& edition : editions)
    {
        for (std::uint32_t type : edition.types)
        {
            named[type] = {edition.name, edition.code};
        }
    }
    for (std::uint32_t type = 0; type <= 300; ++type)
    {
        os_info_t info{};
        info.code = 0x02230800;
        const char* name = product_edition(type, info);
        const auto found = named.find(type);
        if (found == named.end())
        {
            EXPECT_EQ(name, nullptr) << "type " << type;
            EXPECT_EQ(info.code, 0x02230800u) << "type " << type;
            continue;
        }
        ASSERT_NE(name, nullptr) << "type " << type;
        EXPECT_STREQ(name, found->second.first) << "type " << type;
        EXPECT_EQ(info.code, 0x02230800u | found->second.second) << "type " << type;
    }
    os_info_t info{};
    EXPECT_EQ(product_edition(0xFFFFFFFF, info), nullptr);
}

TEST(ContainsNocaseTest, Matching)
{
    EXPECT_TRUE(contains_nocase("HomePremium", "Premium"));
    EXPECT_TRUE(contains_nocase("homepremium", "PREMIUM"));
    EXPECT_TRUE(contains_nocase("Premium", "premium"));
    EXPECT_TRUE(contains_nocase("PremiumHome", "PREMIUM"));
    EXPECT_TRUE(contains_nocase("anything", ""));
    EXPECT_TRUE(contains_nocase("", ""));
    EXPECT_FALSE(contains_nocase("Prem", "Premium")) << "shorter than the part";
    EXPECT_FALSE(contains_nocase("PremiuX", "Premium"));
    EXPECT_FALSE(contains_nocase("Pre mium", "Premium"));
    EXPECT_FALSE(contains_nocase(nullptr, "x"));
    EXPECT_FALSE(contains_nocase("x", nullptr));
}

TEST(SystemOsProbeTest, AgreesWithWhatTheSystemReports)
{
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)));
    SYSTEM_INFO system{};
    GetNativeSystemInfo(&system);

    os_info_t info{};
    detect_os(info);
    ASSERT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(os_family(info.code), os_family_windows);
    EXPECT_EQ(os_platform(info.code), os_platform_nt);
    EXPECT_EQ((info.code & os_server_bit) != 0, version.wProductType != VER_NT_WORKSTATION);
    const std::string build = "(Build " + std::to_string(version.dwBuildNumber & 0xFFFF) + ")";
    const std::string description = info.description;
    EXPECT_NE(description.find(build), std::string::npos) << description;
    if (version.szCSDVersion[0] != '\0')
    {
        EXPECT_NE(description.find(build + ", " + version.szCSDVersion), std::string::npos) << description;
    }
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
    {
        EXPECT_STREQ(info.arch, "x64");
        EXPECT_STREQ(info.platform, "win-nt-64");
    }
    if (version.dwMajorVersion == 6 && version.dwMinorVersion == 1) // what a fresh Wine prefix reports
    {
        EXPECT_EQ(os_release(info.code), version.wProductType == VER_NT_WORKSTATION ? 8u : 9u);
        EXPECT_EQ(
            description.rfind(version.wProductType == VER_NT_WORKSTATION ? "Windows 7 " : "Windows Server 2008 R2 ", 0),
            0u)
            << description;
    }

    os_info_t again{};
    detect_os(again);
    EXPECT_EQ(std::memcmp(&info, &again, sizeof info), 0) << "the same answer every time";
}

TEST(SystemOsProbeTest, RegistryTextIsCutAtItsBuffer)
{
    ScratchRegistry scratch; // HKEY_LOCAL_MACHINE of this process
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    const std::string full(128, 'E');
    WriteRegistryValue(HKEY_LOCAL_MACHINE, key, L"Unterminated", REG_BINARY, full.data(), 128);
    WriteRegistryValue(HKEY_LOCAL_MACHINE, key, L"Embedded", REG_BINARY, "Home\0Premium", 12);
    WriteRegistryString(HKEY_LOCAL_MACHINE, key, L"EditionID", L"HomePremium");
    WriteRegistryString(HKEY_LOCAL_MACHINE, key, L"TooLong", std::wstring(128, L'L')); // 129 bytes with its zero

    system_os_probe_t probe;
    std::string text = "untouched";
    EXPECT_TRUE(probe.registry_text(current_version, "EditionID", 128, text));
    EXPECT_EQ(text, "HomePremium");
    EXPECT_TRUE(probe.registry_text(current_version, "Unterminated", 128, text));
    EXPECT_EQ(text, full);
    EXPECT_TRUE(probe.registry_text(current_version, "Embedded", 128, text));
    EXPECT_EQ(text, "Home");
    text = "untouched";
    EXPECT_FALSE(probe.registry_text(current_version, "TooLong", 128, text));
    EXPECT_FALSE(probe.registry_text(current_version, "Missing", 128, text));
    EXPECT_FALSE(probe.registry_text(product_options, "ProductType", 64, text)) << "no such key here";
    EXPECT_EQ(text, "untouched");
}

TEST(OsInfoRecordTest, CreatedOnceAndDropped)
{
    EXPECT_EQ(os_info(), nullptr);
    ASSERT_TRUE(os_info_create());
    const os_info_t* record = os_info();
    ASSERT_NE(record, nullptr);
    os_info_t fresh{};
    detect_os(fresh);
    EXPECT_STREQ(record->description, fresh.description);
    EXPECT_EQ(record->code, fresh.code);

    fake_os_probe_t unreadable;
    EXPECT_TRUE(os_info_create(unreadable)) << "an existing record stays";
    EXPECT_EQ(os_info(), record);
    os_info_destroy();
    EXPECT_EQ(os_info(), nullptr);
    os_info_destroy();
}
} // namespace
