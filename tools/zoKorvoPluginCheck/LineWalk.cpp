#include "LineWalk.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "Wording.h"
#include "ini/IniFile.h"
#include "plugins/DescriptionLineError.h"
#include "plugins/PluginDescriptionFile.h"
#include "zosysq/stdpath.h"

namespace nPluginCheck {
namespace {

std::string systemText(int error) {
    const zosysq::ErrnoText text(error);
    return text.text != nullptr ? text.text : "error " + std::to_string(error);
}

void noteErrorLine(IniLineKind kind, const char* line, int32_t number, tFileReport& report) {
    const tDescriptionLineError error = describeErrorLine(kind, line);
    addError(report, number, error.kind, error.message);
}

// One line, decided by the reader's own classifier with the service's flags.
void walkLine(const char* line, int32_t number, tLineWalk& walk, tFileReport& report) {
    IniLineParts parts;
    const IniLineKind kind = iniClassifyLine(line, nPluginData::kDescriptionFileFlags, &parts);
    walk.lastLine = number;
    if (kind == kIniLineSection) {
        walk.section.assign(parts.name.start, parts.name.length);
        walk.place = sameIniName(walk.section, "Service") ? tPlace::service : tPlace::otherSection;
    } else if (kind == kIniLineKey) {
        walk.keys.push_back(tKeyLine{number, walk.place, walk.section,
                                     std::string(parts.name.start, parts.name.length),
                                     std::string(parts.value.start, parts.value.length)});
    } else if (iniLineIsError(kind)) {
        noteErrorLine(kind, line, number, report);
    }
}

// The reader ends a line at "\n", "\r" or NUL and pairs "\r\n": a blank
// line that is the last one is an extra line break at the end of the file.
void nameEmptyLastLine(const tLineWalk& walk, tFileReport& report) {
    for (tFinding& error : report.errors) {
        if (error.kind == "blank-line" && error.line == walk.lastLine) {
            error.message = kEmptyLastLineMessage;
        }
    }
}

// A reading failure, worded with the system's text for `error`.
void noteReadFailure(int result, int error, tFileReport& report) {
    if (result == kIniResultOutOfMemory) {
        throw std::bad_alloc();
    }
    if (result == kIniResultUnsupportedEncoding) {
        addError(report, 1, "byte-order-mark",
                 "the file starts with a UTF-16 or UTF-32 byte-order mark: the service reads "
                 "only ASCII or UTF-8 description files");
        return;
    }
    addError(report, 0, "unreadable", "the file cannot be read: " + systemText(error));
}

// Frees the line reader's heap buffer, which readWholeLine may move.
struct tLineBuffer {
    ~tLineBuffer() { free(text); }
    char* text = nullptr;
    size_t capacity = 0;
};

}  // namespace

// Reads the file the way IniFile::readFile does, with the same pieces, and
// notes every line that is not a comment, a section header or a key line.
void walkLines(const std::string& path, tLineWalk& walk, tFileReport& report) {
    FILE* opened = nullptr;
    int result = iniOpenFile(path.c_str(), &opened);
    if (result != kIniResultOk) {
        // fopen's errno, or stat's when the file does not exist.
        noteReadFailure(result, errno, report);
        return;
    }
    const std::unique_ptr<FILE, decltype(&fclose)> stream(opened, &fclose);
    const std::unique_ptr<IniLineReader, decltype(&IniLineReader::destroy)> reader(
        IniLineReader::create(stream.get()), &IniLineReader::destroy);
    if (!reader) {
        throw std::bad_alloc();
    }
    errno = 0;
    result = reader->skipByteOrderMark();
    if (result != kIniResultOk) {
        noteReadFailure(result, errno, report);
        return;
    }
    tLineBuffer line;
    for (;;) {
        int haveLine = 0;
        errno = 0;
        result = reader->readWholeLine(&line.text, &line.capacity, &haveLine);
        if (result != kIniResultOk) {
            noteReadFailure(result, errno, report);
            return;
        }
        if (!haveLine) {
            break;
        }
        walkLine(line.text, reader->lineNumber(), walk, report);
    }
    nameEmptyLastLine(walk, report);
}

bool sameIniName(const std::string& left, const char* right) {
    return IniFile::compareNames(left.c_str(), right) == 0;
}

}  // namespace nPluginCheck
