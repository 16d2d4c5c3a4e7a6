// Helpers for the INI reader's tests: a scratch directory under /tmp that is removed with
// everything in it, documents that free themselves, and a one-line rendering of a document.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ini/IniFile.h"

// A fresh directory from mkdtemp, removed at the end of the test.
class IniScratchDirectory {
  public:
    IniScratchDirectory() {
        char pattern[] = "/tmp/zoini-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~IniScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    IniScratchDirectory(const IniScratchDirectory&) = delete;
    IniScratchDirectory& operator=(const IniScratchDirectory&) = delete;

    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

    // Writes `bytes` exactly (NUL bytes and all) and returns the file's path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string path = pathOf(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

  private:
    std::string path_;
};

using IniDocument = std::unique_ptr<IniFile, decltype(&IniFile::destroy)>;

inline IniDocument newIniDocument(uint32_t flags) {
    IniDocument document(IniFile::create(0), &IniFile::destroy);
    if (document) {
        document->setFlags(flags);
    }
    return document;
}

// "[section]key=value,key=value[section]..." in stored order.
inline std::string describeIni(const IniFile& file) {
    std::string text;
    for (size_t s = 0; s < file.sectionCount; ++s) {
        const IniSection* section = file.sections[s];
        text += "[" + std::string(section->name) + "]";
        for (size_t k = 0; k < section->keyCount; ++k) {
            text += (k > 0 ? "," : "") + std::string(section->keys[k]->name) + "=" +
                    section->keys[k]->value;
        }
    }
    return text;
}
