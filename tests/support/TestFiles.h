// Files for tests: a scratch folder removed afterwards, and whole-file reads.
#pragma once

#include <string>

class ScratchFolder
{
public:
    ScratchFolder();  // a new empty folder under the temporary folder
    ~ScratchFolder(); // removes it with everything in it
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Narrow path of a file in the folder.
    std::string File(const char* name) const;

private:
    std::string m_path;
};

// The file's bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
