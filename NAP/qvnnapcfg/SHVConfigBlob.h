// The settings as the NAP host stores them: a fixed record of 532 bytes, little-endian,
// without gaps. Blobs stored by one installation must be accepted by any other, so the
// layout below never changes.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t SHVConfigBlobVersion = 1;
// The blob's size as the interface counts it (a 16-bit count).
inline constexpr std::uint16_t SHVConfigBlobSize = 532;
inline constexpr std::size_t SHVConfigBlobNameUnits = 256;

#pragma pack(push, 1)
struct SHVConfigBlob
{
    std::uint32_t version;                       // always 1
    char16_t serverName[SHVConfigBlobNameUnits]; // UTF-16LE, NUL-terminated and NUL-filled
    std::uint32_t serverPort;
    std::uint32_t serverTimeout;
    std::uint32_t cacheTime; // seconds
    std::uint32_t validationEnabled;
};
#pragma pack(pop)

static_assert(sizeof(SHVConfigBlob) == SHVConfigBlobSize, "the record is exactly the blob, without padding");
static_assert(offsetof(SHVConfigBlob, serverName) == 4);
static_assert(offsetof(SHVConfigBlob, serverPort) == 516);
static_assert(offsetof(SHVConfigBlob, serverTimeout) == 520);
static_assert(offsetof(SHVConfigBlob, cacheTime) == 524);
static_assert(offsetof(SHVConfigBlob, validationEnabled) == 528);
