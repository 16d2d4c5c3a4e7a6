// Feeds arbitrary bytes to the INI reader. The first byte chooses the parse flags (low four bits),
// whether the bytes arrive through a file instead of an in-memory stream (0x10), and whether the
// document is read twice (0x20); the rest is the file. Besides the sanitizers' checks, every
// section and key that was read must be found again by its own name, and a line-by-line walk
// with the reader's public pieces must find the same first error line as the parser, and the
// bytes read in place (readBytes) must give the very document the stream or the file gave.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ini/IniFile.h"

namespace {

constexpr uint8_t kThroughFile = 0x10;
constexpr uint8_t kReadTwice = 0x20;

void require(bool condition) {
    if (!condition) {
        abort();
    }
}

FILE* openBytes(const uint8_t* data, size_t size) {
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

char scratchPath[] = "/tmp/zoini-fuzz-XXXXXX";

void removeScratchFile() {
    unlink(scratchPath);
}

int openScratchFile() {
    const int fd = mkstemp(scratchPath);
    require(fd >= 0);
    atexit(removeScratchFile);
    return fd;
}

// One scratch file per fuzzing process, rewritten for each input.
const char* scratchFile(const uint8_t* data, size_t size) {
    static const int fd = openScratchFile();
    require(ftruncate(fd, 0) == 0);
    require(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    return scratchPath;
}

int readDocument(IniFile* file, const uint8_t* data, size_t size, bool throughFile) {
    if (throughFile) {
        return file->readFile(scratchFile(data, size));
    }
    FILE* stream = openBytes(data, size);
    require(stream != nullptr);
    const int result = file->readStream(stream);
    fclose(stream);
    return result;
}

void requireEverythingFindable(IniFile* file) {
    for (size_t s = 0; s < file->sectionCount; ++s) {
        IniSection* section = file->sections[s];
        require(file->findSection(section->name) == section);
        for (size_t k = 0; k < section->keyCount; ++k) {
            const char* value = nullptr;
            require(file->getValue(section->name, section->keys[k]->name, &value) == 1);
            require(value != nullptr);
            require(file->hasKey(section->name, section->keys[k]->name) == 1);
        }
    }
    const char* value = nullptr;
    const int found = file->getValue("Service", "Name", &value);
    require(found == (value != nullptr ? 1 : 0));
    require(file->getValue(nullptr, "Name", &value) == 0 && value == nullptr);
    file->findSection("(null)");
}

void requireSameDocument(const IniFile* first, const IniFile* second) {
    require(first->sectionCount == second->sectionCount);
    require(first->firstErrorLine() == second->firstErrorLine());
    for (size_t s = 0; s < first->sectionCount; ++s) {
        const IniSection* one = first->sections[s];
        const IniSection* other = second->sections[s];
        require(strcmp(one->name, other->name) == 0 && one->keyCount == other->keyCount);
        for (size_t k = 0; k < one->keyCount; ++k) {
            require(strcmp(one->keys[k]->name, other->keys[k]->name) == 0);
            require(strcmp(one->keys[k]->value, other->keys[k]->value) == 0);
        }
    }
}

void requireReadInPlaceAlike(const IniFile* file, int result, const uint8_t* data, size_t size,
                             uint32_t flags) {
    IniFile* inPlace = IniFile::create(0);
    require(inPlace != nullptr);
    inPlace->setFlags(flags);
    require(inPlace->readBytes(reinterpret_cast<const char*>(data), size) == result);
    if (result == 0) {
        requireSameDocument(file, inPlace);
    }
    IniFile::destroy(inPlace);
}

int32_t firstErrorLineByWalking(const uint8_t* data, size_t size, uint32_t flags) {
    FILE* stream = openBytes(data, size);
    require(stream != nullptr);
    int32_t firstError = -1;
    // The mark as readFile checks it, in the reader's first block; the document it is
    // compared with came through readStream, which checks it on the stream and seeks.
    IniLineReader* reader = IniLineReader::create(stream);
    if (reader != nullptr && reader->skipByteOrderMark() != 0) {
        IniLineReader::destroy(reader);
        reader = nullptr;
    }
    char* line = nullptr;
    size_t capacity = 0;
    int haveLine = 0;
    while (reader != nullptr && firstError == -1 &&
           reader->readWholeLine(&line, &capacity, &haveLine) == 0 && haveLine) {
        if (iniLineIsError(iniClassifyLine(line, flags, nullptr))) {
            firstError = reader->lineNumber();
        }
    }
    free(line);
    IniLineReader::destroy(reader);
    fclose(stream);
    return firstError;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t control = data[0];
    const uint32_t flags = control & 0x0F;
    ++data;
    --size;

    IniFile* file = IniFile::create(0);
    require(file != nullptr);
    file->setFlags(flags);
    int result = readDocument(file, data, size, (control & kThroughFile) != 0);
    if ((control & kReadTwice) != 0) {
        result = readDocument(file, data, size, false);
    }
    requireEverythingFindable(file);
    requireReadInPlaceAlike(file, result, data, size, flags);
    if (result == 0) {
        require(file->firstErrorLine() == firstErrorLineByWalking(data, size, flags));
    }
    IniFile::destroy(file);
    return 0;
}
