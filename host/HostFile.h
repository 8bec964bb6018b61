// The files the host tool keeps blobs in, as the console keeps them in its policy store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The file's bytes, at most 64 KiB of them (enough to tell a blob of the wrong size).
// On failure returns nothing and sets `error` to a line naming the file and the
// system's reason (or that it is a folder).
std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::wstring& path, std::string& error);

// Writes the bytes so that the file ends up complete or as it was: they go into a new
// file beside it (FILE.<random>.tmp, a name no other run uses, whatever it left behind),
// which is flushed to disk, closed and then renamed over the file. A
// device (NUL, a console, or under Wine a Unix device such as /dev/full) cannot be
// replaced that way and is written directly; the write still reports its failure. A
// read-only file is refused (access denied), as Windows refuses to replace it. On
// failure no new file is left behind; returns a line naming the file, the failed step and
// the system's reason (a full disk, say). Nothing on success.
std::optional<std::string> WriteFileBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
