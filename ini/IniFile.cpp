#include "ini/IniFile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

constexpr char kNullSectionName[] = "(null)";
constexpr char kLineNumberMarker[] = " Line";

// White space and letter case in the terms of the C locale, the one the service and the
// checker run in: what a file means never depends on the environment, and the name compares
// of every look-up need no call into the C library's locale tables. Bytes of 0x80 and above
// are neither blank nor letters.
int isBlank(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

int upper(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 'a' && byte <= 'z' ? byte - ('a' - 'A') : byte;
}

const char* skipBlanks(const char* text) {
    while (*text != '\0' && isBlank(*text)) {
        ++text;
    }
    return text;
}

int onlyBlanks(const char* text) {
    return *skipBlanks(text) == '\0';
}

IniSpan trimmedSpan(const char* start, const char* end) {
    while (start < end && isBlank(*start)) {
        ++start;
    }
    while (end > start && isBlank(end[-1])) {
        --end;
    }
    return IniSpan{start, static_cast<size_t>(end - start)};
}

int enclosedIn(IniSpan span, char quote) {
    return span.length >= 2 && span.start[0] == quote && span.start[span.length - 1] == quote;
}

IniSpan stripQuotes(IniSpan value, uint32_t flags) {
    const bool stripDouble = (flags & kIniStripDoubleQuotes) != 0 && enclosedIn(value, '"');
    const bool stripSingle =
        !stripDouble && (flags & kIniStripSingleQuotes) != 0 && enclosedIn(value, '\'');
    if (stripDouble || stripSingle) {
        return IniSpan{value.start + 1, value.length - 2};
    }
    return value;
}

char* copySpan(IniSpan span) {
    char* copy = static_cast<char*>(malloc(span.length + 1));
    if (copy != nullptr) {
        memcpy(copy, span.start, span.length);
        copy[span.length] = '\0';
    }
    return copy;
}

// Appends one pointer, growing the array by exactly one element.
template <typename T>
int appendPointer(T*** items, size_t* count, T* item) {
    if (*count >= SIZE_MAX / sizeof(T*)) {
        return kIniResultOutOfMemory;
    }
    T** grown = static_cast<T**>(realloc(*items, (*count + 1) * sizeof(T*)));
    if (grown == nullptr) {
        return kIniResultOutOfMemory;
    }
    grown[*count] = item;
    *items = grown;
    ++*count;
    return kIniResultOk;
}

// Takes ownership of `name` and `value`.
int appendKey(IniSection* section, char* name, char* value) {
    IniKey* key = static_cast<IniKey*>(calloc(1, sizeof(IniKey)));
    if (key == nullptr || appendPointer(&section->keys, &section->keyCount, key) != kIniResultOk) {
        free(key);
        free(name);
        free(value);
        return kIniResultOutOfMemory;
    }
    key->name = name;
    key->value = value;
    return kIniResultOk;
}

void freeKey(IniKey* key) {
    if (key != nullptr) {
        free(key->name);
        free(key->value);
        free(key);
    }
}

void freeSection(IniSection* section) {
    for (size_t i = 0; i < section->keyCount; ++i) {
        freeKey(section->keys[i]);
    }
    free(section->keys);
    free(section->name);
    free(section);
}

const char* findKeySeparator(const char* text, uint32_t flags, size_t* separatorLength) {
    const char* separator =
        (flags & kIniRelaxedSyntax) != 0 ? strpbrk(text, "=:") : strchr(text, '=');
    if (separator != nullptr) {
        *separatorLength = (separator[0] == ':' && separator[1] == '=') ? 2 : 1;
    }
    return separator;
}

IniLineKind classifySectionHeader(const char* text, IniLineParts* parts) {
    const char* nameStart = skipBlanks(text + 1);
    const char* close = strchr(nameStart, ']');
    if (close == nullptr) {
        return kIniLineUnclosedSection;
    }
    const IniSpan name = trimmedSpan(nameStart, close);
    if (name.length == 0) {
        return kIniLineEmptySectionName;
    }
    parts->name = name;
    return kIniLineSection;
}

IniLineKind classifyKeyLine(const char* text, uint32_t flags, IniLineParts* parts) {
    size_t separatorLength = 0;
    const char* separator = findKeySeparator(text, flags, &separatorLength);
    if (separator == nullptr) {
        return kIniLineNoSeparator;
    }
    const IniSpan name = trimmedSpan(text, separator);
    if (name.length == 0) {
        return kIniLineEmptyKeyName;
    }
    const char* valueStart = separator + separatorLength;
    const IniSpan value = trimmedSpan(valueStart, valueStart + strlen(valueStart));
    if (value.length == 0 && (flags & kIniAllowEmptyValues) == 0) {
        return kIniLineEmptyValue;
    }
    parts->name = name;
    parts->value = stripQuotes(value, flags);
    return kIniLineKey;
}

// A numbered key's name is a base name, " Line" and only decimal digits that fit 64 bits.
int parseNumberedName(const char* name, size_t* baseLength, uint64_t* number) {
    const char* marker = strstr(name, kLineNumberMarker);
    if (marker == nullptr) {
        return 0;
    }
    const char* digits = marker + strlen(kLineNumberMarker);
    if (*digits == '\0') {
        return 0;
    }
    uint64_t value = 0;
    for (const char* d = digits; *d != '\0'; ++d) {
        if (*d < '0' || *d > '9') {
            return 0;
        }
        const uint64_t digit = static_cast<uint64_t>(*d - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return 0;
        }
        value = value * 10 + digit;
    }
    *baseLength = static_cast<size_t>(marker - name);
    *number = value;
    return 1;
}

int isRunStart(const IniKey* key, size_t* baseLength) {
    uint64_t number = 0;
    return parseNumberedName(key->name, baseLength, &number) && number == 1;
}

int continuesRun(const IniKey* key) {
    size_t baseLength = 0;
    uint64_t number = 0;
    return parseNumberedName(key->name, &baseLength, &number) && number != 1;
}

// Builds the joined name and value of keys[first, end) before touching the section, so that a
// failed allocation leaves the keys as they were.
int joinRun(IniSection* section, size_t first, size_t end, size_t baseLength) {
    size_t totalLength = 0;
    for (size_t i = first; i < end; ++i) {
        const size_t length = strlen(section->keys[i]->value);
        if (length > SIZE_MAX - 1 - totalLength) {
            return kIniResultOutOfMemory;
        }
        totalLength += length;
    }
    IniKey* head = section->keys[first];
    char* name = copySpan(IniSpan{head->name, baseLength});
    char* value = static_cast<char*>(malloc(totalLength + 1));
    if (name == nullptr || value == nullptr) {
        free(name);
        free(value);
        return kIniResultOutOfMemory;
    }
    char* out = value;
    for (size_t i = first; i < end; ++i) {
        const size_t length = strlen(section->keys[i]->value);
        memcpy(out, section->keys[i]->value, length);
        out += length;
    }
    *out = '\0';

    free(head->name);
    free(head->value);
    head->name = name;
    head->value = value;
    for (size_t i = first + 1; i < end; ++i) {
        freeKey(section->keys[i]);
    }
    // An array of record pointers, rightly sized by the pointer.
    memmove(&section->keys[first + 1], &section->keys[end],
            (section->keyCount - end) * sizeof(IniKey*));  // NOLINT(bugprone-sizeof-expression)
    section->keyCount -= end - first - 1;
    return kIniResultOk;
}

int joinNumberedKeysOfSection(IniSection* section) {
    for (size_t first = 0; first < section->keyCount; ++first) {
        size_t baseLength = 0;
        if (!isRunStart(section->keys[first], &baseLength)) {
            continue;
        }
        size_t end = first + 1;
        while (end < section->keyCount && continuesRun(section->keys[end])) {
            ++end;
        }
        const int result = joinRun(section, first, end, baseLength);
        if (result != kIniResultOk) {
            return result;
        }
    }
    return kIniResultOk;
}

int isTerminator(int byte) {
    return byte == '\n' || byte == '\r' || byte == '\0';
}

// The length of the UTF-8 byte-order mark that `bytes`, the first `count`
// bytes of a text, start with (3 or 0), or kIniResultUnsupportedEncoding
// for a UTF-16 or UTF-32 mark.
int byteOrderMarkLength(const unsigned char* bytes, size_t count) {
    const bool utf32 =
        count >= 4 && ((bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0) ||
                       (bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF));
    const bool utf8 = count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
    const bool utf16 = count >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) ||
                                      (bytes[0] == 0xFE && bytes[1] == 0xFF));
    if (utf32 || utf16) {
        return kIniResultUnsupportedEncoding;
    }
    return utf8 ? 3 : 0;
}

}  // namespace

// ---- Line classification -------------------------------------------------------------------

IniLineKind iniClassifyLine(const char* line, uint32_t flags, IniLineParts* parts) {
    IniLineParts ignored;
    if (parts == nullptr) {
        parts = &ignored;
    }
    *parts = IniLineParts{{line, 0}, {line, 0}};
    const char* text = skipBlanks(line);
    switch (*text) {
        case '\0':
            return kIniLineBlank;
        case ';':
            return kIniLineComment;
        case '[':
            return classifySectionHeader(text, parts);
        default:
            return classifyKeyLine(text, flags, parts);
    }
}

int iniLineIsError(IniLineKind kind) {
    return kind >= kIniLineBlank;
}

// ---- Opening and the byte-order mark -------------------------------------------------------

int iniOpenFile(const char* path, FILE** stream) {
    if (path == nullptr) {
        return kIniResultFileMissing;
    }
    FILE* opened = fopen(path, "rb");
    if (opened == nullptr) {
        struct stat status;
        return stat(path, &status) != 0 ? kIniResultFileMissing : kIniResultCannotOpen;
    }
    // The line reader reads in blocks of its own, so a stream buffer under it
    // would only copy every byte once more, and the repositioning after the
    // byte-order-mark check would throw that buffer away and read the start
    // of the file a second time.
    setvbuf(opened, nullptr, _IONBF, 0);
    *stream = opened;
    return kIniResultOk;
}

int iniSkipByteOrderMark(FILE* stream) {
    unsigned char mark[4] = {0, 0, 0, 0};
    const size_t count = fread(mark, 1, sizeof mark, stream);
    if (count < sizeof mark && ferror(stream)) {
        return kIniResultReadFailed;
    }
    const int markLength = byteOrderMarkLength(mark, count);
    if (markLength < 0) {
        return markLength;
    }
    return fseek(stream, markLength, SEEK_SET);
}

// ---- Line reader ---------------------------------------------------------------------------

namespace {

IniLineReader* newLineReader() {
    IniLineReader* reader = static_cast<IniLineReader*>(calloc(1, sizeof(IniLineReader)));
    if (reader != nullptr) {
        // Nothing precedes the first line, so a leading "\n" is an empty line, not half a break.
        reader->previousTerminator = -1;
    }
    return reader;
}

}  // namespace

IniLineReader* IniLineReader::create(FILE* stream) {
    IniLineReader* reader = newLineReader();
    if (reader == nullptr) {
        return nullptr;
    }
    reader->readBuffer = static_cast<unsigned char*>(malloc(kIniReadBlockSize));
    if (reader->readBuffer == nullptr) {
        free(reader);
        return nullptr;
    }
    reader->block = reader->readBuffer;
    reader->stream = stream;
    return reader;
}

// The bytes are the one and only block: no buffer, no copy, no end to find out by reading.
// No bytes at all are an empty block that still points somewhere, as memcpy needs.
IniLineReader* IniLineReader::createOverBytes(const char* bytes, size_t length) {
    static const unsigned char kNoBytes[1] = {0};
    IniLineReader* reader = newLineReader();
    if (reader == nullptr) {
        return nullptr;
    }
    reader->block = bytes != nullptr ? reinterpret_cast<const unsigned char*>(bytes) : kNoBytes;
    reader->blockLength = bytes != nullptr ? length : 0;
    reader->inputEnded = 1;
    return reader;
}

void IniLineReader::destroy(IniLineReader* reader) {
    if (reader != nullptr) {
        free(reader->readBuffer);
        free(reader);
    }
}

int IniLineReader::skipByteOrderMark() {
    if (blockPosition == blockLength) {
        const int result = refill();
        if (result != kIniResultOk) {
            return result;
        }
    }
    const int markLength = byteOrderMarkLength(block + blockPosition, blockLength - blockPosition);
    if (markLength < 0) {
        return markLength;
    }
    blockPosition += static_cast<size_t>(markLength);
    return kIniResultOk;
}

int IniLineReader::refill() {
    blockPosition = 0;
    if (inputEnded) {
        blockLength = 0;
        return kIniResultOk;
    }
    blockLength = fread(readBuffer, 1, kIniReadBlockSize, stream);
    if (blockLength < kIniReadBlockSize && feof(stream)) {
        // The input ended within this block: asking again would only cost
        // another read that returns nothing.
        inputEnded = 1;
    }
    if (blockLength == 0) {
        if (ferror(stream)) {
            return kIniResultReadFailed;
        }
        inputEnded = 1;
    }
    return kIniResultOk;
}

// *byte becomes the next byte, or EOF at the end of the input; nothing is consumed.
int IniLineReader::peekByte(int* byte) {
    if (blockPosition == blockLength) {
        const int result = refill();
        if (result != kIniResultOk) {
            return result;
        }
    }
    *byte = blockPosition < blockLength ? block[blockPosition] : EOF;
    return kIniResultOk;
}

int IniLineReader::nextByte(int* byte) {
    const int result = peekByte(byte);
    if (result == kIniResultOk && *byte != EOF) {
        ++blockPosition;
    }
    return result;
}

// Lines are short and blocks long: most bytes of a line are copied here, as
// one run up to the next terminator or the end of the buffered block, and
// only the byte that ends the run goes through nextByte().
size_t IniLineReader::copyLineRun(char* buffer, size_t maxChars) {
    const size_t available = blockLength - blockPosition;
    const size_t limit = available < maxChars ? available : maxChars;
    const unsigned char* run = block + blockPosition;
    size_t length = 0;
    while (length < limit && !isTerminator(run[length])) {
        ++length;
    }
    memcpy(buffer, run, length);
    blockPosition += length;
    return length;
}

int IniLineReader::readLine(char* buffer, size_t maxChars, IniLineRead* result) {
    *result = IniLineRead{0, 0, 0};
    buffer[0] = '\0';
    int byte = EOF;
    if (previousTerminator >= 0) {
        const int code = peekByte(&byte);
        if (code != kIniResultOk) {
            return code;
        }
        if (byte != EOF && isTerminator(byte) && byte != previousTerminator) {
            ++blockPosition;
        }
        previousTerminator = -1;
    }
    size_t stored = 0;
    for (;;) {
        stored += copyLineRun(buffer + stored, maxChars - stored);
        if (stored == maxChars) {
            // The next call continues this line and must not take a terminator as half a break.
            lineOpen = 1;
            break;
        }
        const int code = nextByte(&byte);
        if (code != kIniResultOk) {
            buffer[stored] = '\0';
            result->length = stored;
            return code;
        }
        if (byte == EOF) {
            // A continued line that ends exactly with the input is still a line.
            result->lineComplete = stored > 0 || lineOpen;
            result->atEnd = !result->lineComplete;
            break;
        }
        if (isTerminator(byte)) {
            previousTerminator = byte;
            result->lineComplete = 1;
            break;
        }
        buffer[stored++] = static_cast<char>(byte);
    }
    buffer[stored] = '\0';
    result->length = stored;
    if (result->lineComplete) {
        lineOpen = 0;
        ++completedLines;
    }
    return kIniResultOk;
}

int IniLineReader::readWholeLine(char** buffer, size_t* capacity, int* haveLine) {
    *haveLine = 0;
    if (*buffer == nullptr || *capacity == 0) {
        free(*buffer);
        *buffer = static_cast<char*>(malloc(kIniInitialLineCapacity));
        if (*buffer == nullptr) {
            *capacity = 0;
            return kIniResultOutOfMemory;
        }
        *capacity = kIniInitialLineCapacity;
    }
    IniLineRead read;
    int result = readLine(*buffer, *capacity - 1, &read);
    size_t length = read.length;
    while (result == kIniResultOk && !read.lineComplete && !read.atEnd) {
        if (*capacity > SIZE_MAX / 2) {
            return kIniResultOutOfMemory;
        }
        char* grown = static_cast<char*>(realloc(*buffer, *capacity * 2));
        if (grown == nullptr) {
            return kIniResultOutOfMemory;
        }
        *buffer = grown;
        *capacity *= 2;
        result = readLine(grown + length, *capacity - 1 - length, &read);
        length += read.length;
    }
    *haveLine = result == kIniResultOk && read.lineComplete;
    return result;
}

int32_t IniLineReader::lineNumber() const {
    return completedLines > INT32_MAX ? INT32_MAX : static_cast<int32_t>(completedLines);
}

// ---- Document ------------------------------------------------------------------------------

IniFile* IniFile::create(int reserved) {
    if (reserved != 0) {
        return nullptr;
    }
    IniFile* file = static_cast<IniFile*>(calloc(1, sizeof(IniFile)));
    if (file != nullptr) {
        file->mergeDuplicates = 1;
        file->caseSensitive = 0;
        file->flags = kIniStripDoubleQuotes;
        file->firstErrorLineNumber = -1;
    }
    return file;
}

void IniFile::destroy(IniFile* file) {
    if (file != nullptr) {
        file->freeSections();
        free(file);
    }
}

void IniFile::freeSections() {
    for (size_t i = 0; i < sectionCount; ++i) {
        freeSection(sections[i]);
    }
    free(sections);
    sections = nullptr;
    sectionCount = 0;
    lastSection = nullptr;
}

int IniFile::setFlags(uint32_t newFlags) {
    flags = newFlags;
    return 1;
}

int32_t IniFile::firstErrorLine() const {
    return firstErrorLineNumber;
}

int IniFile::readFile(const char* path) {
    FILE* stream = nullptr;
    int result = iniOpenFile(path, &stream);
    if (result != kIniResultOk) {
        return result;
    }
    // A file opened here is at its first byte, so the mark is looked for in
    // the reader's first block: no repositioning, and every byte is read once.
    result = parseStream(stream, kIniMarkInFirstBlock);
    fclose(stream);
    return result;
}

int IniFile::readStream(FILE* stream) {
    if (stream == nullptr) {
        return kIniResultFileMissing;
    }
    const int result = iniSkipByteOrderMark(stream);
    if (result != kIniResultOk) {
        return result;
    }
    return parseStream(stream, kIniMarkSkipped);
}

int IniFile::readBytes(const char* bytes, size_t length) {
    if (bytes == nullptr && length != 0) {
        return kIniResultFileMissing;
    }
    return parseLines(IniLineReader::createOverBytes(bytes, length), kIniMarkInFirstBlock);
}

int IniFile::parseStream(FILE* stream, IniMarkCheck markCheck) {
    return parseLines(IniLineReader::create(stream), markCheck);
}

// Takes the reader, which may be null when memory was short.
int IniFile::parseLines(IniLineReader* reader, IniMarkCheck markCheck) {
    if (reader == nullptr) {
        return kIniResultOutOfMemory;
    }
    int result = markCheck == kIniMarkInFirstBlock ? reader->skipByteOrderMark() : kIniResultOk;
    if (result == kIniResultOk) {
        result = parse(reader);
    }
    IniLineReader::destroy(reader);
    return result;
}

int IniFile::parse(IniLineReader* reader) {
    freeSections();
    firstErrorLineNumber = -1;
    size_t capacity = kIniInitialLineCapacity;
    char* line = static_cast<char*>(malloc(capacity));
    if (line == nullptr) {
        return kIniResultOutOfMemory;
    }
    IniSection* current = nullptr;
    int result = kIniResultOk;
    int haveLine = 0;
    while (result == kIniResultOk) {
        result = reader->readWholeLine(&line, &capacity, &haveLine);
        if (result != kIniResultOk || !haveLine) {
            break;
        }
        result = applyLine(line, reader->lineNumber(), &current);
    }
    free(line);
    if (result == kIniResultOk) {
        result = joinNumberedKeys();
    }
    return result;
}

int IniFile::applyLine(const char* line, int32_t lineNumber, IniSection** current) {
    IniLineParts parts;
    const IniLineKind kind = iniClassifyLine(line, flags, &parts);
    if (iniLineIsError(kind)) {
        if (firstErrorLineNumber == -1) {
            firstErrorLineNumber = lineNumber;
        }
        return kIniResultOk;
    }
    if (kind == kIniLineSection) {
        return enterSection(parts.name, current);
    }
    return kind == kIniLineKey ? storeKey(parts, current) : kIniResultOk;
}

// Takes ownership of `name`, which may be null after a failed copy.
int IniFile::appendSection(char* name, IniSection** added) {
    IniSection* section = static_cast<IniSection*>(calloc(1, sizeof(IniSection)));
    if (name == nullptr || section == nullptr ||
        appendPointer(&sections, &sectionCount, section) != kIniResultOk) {
        free(section);
        free(name);
        return kIniResultOutOfMemory;
    }
    section->name = name;
    *added = section;
    return kIniResultOk;
}

int IniFile::enterSection(IniSpan nameSpan, IniSection** current) {
    char* name = copySpan(nameSpan);
    if (name == nullptr) {
        return kIniResultOutOfMemory;
    }
    IniSection* existing = mergeDuplicates ? findSection(name) : nullptr;
    if (existing != nullptr) {
        free(name);
        *current = existing;
        return kIniResultOk;
    }
    return appendSection(name, current);
}

int IniFile::storeKey(const IniLineParts& parts, IniSection** current) {
    if (*current == nullptr) {
        if ((flags & kIniRelaxedSyntax) == 0) {
            return kIniResultOk;  // keys before the first header belong nowhere
        }
        const int result = appendSection(strdup(kNullSectionName), current);
        if (result != kIniResultOk) {
            return result;
        }
    }
    char* name = copySpan(parts.name);
    char* value = copySpan(parts.value);
    if (name == nullptr || value == nullptr) {
        free(name);
        free(value);
        return kIniResultOutOfMemory;
    }
    IniKey* existing = mergeDuplicates ? findKey(*current, name) : nullptr;
    if (existing != nullptr) {
        free(name);
        free(existing->value);
        existing->value = value;
        return kIniResultOk;
    }
    return appendKey(*current, name, value);
}

int IniFile::joinNumberedKeys() {
    for (size_t i = 0; i < sectionCount; ++i) {
        const int result = joinNumberedKeysOfSection(sections[i]);
        if (result != kIniResultOk) {
            return result;
        }
    }
    return kIniResultOk;
}

// ---- Lookups -------------------------------------------------------------------------------

int IniFile::compareNames(const char* left, const char* right) {
    left = skipBlanks(left);
    right = skipBlanks(right);
    while (*left != '\0' && *right != '\0') {
        const int difference = upper(*left) - upper(*right);
        if (difference != 0) {
            return difference;
        }
        ++left;
        ++right;
    }
    if (*left != '\0') {
        return onlyBlanks(left) ? 0 : 1;
    }
    if (*right != '\0') {
        return onlyBlanks(right) ? 0 : -1;
    }
    return 0;
}

int IniFile::namesEqual(const char* left, const char* right) const {
    if (caseSensitive) {
        return strcmp(left, right) == 0;
    }
    // Most names looked at differ in their first letter: those are told
    // apart here, without the walk that also skips white space.
    const char first = *left;
    const char other = *right;
    if (first != '\0' && other != '\0' && !isBlank(first) && !isBlank(other) &&
        upper(first) != upper(other)) {
        return 0;
    }
    return compareNames(left, right) == 0;
}

IniSection* IniFile::findSection(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    if (lastSection != nullptr && namesEqual(lastSection->name, name)) {
        return lastSection;
    }
    for (size_t i = 0; i < sectionCount; ++i) {
        if (namesEqual(sections[i]->name, name)) {
            lastSection = sections[i];
            return lastSection;
        }
    }
    return nullptr;
}

IniKey* IniFile::findKey(IniSection* section, const char* name) const {
    for (size_t i = 0; i < section->keyCount; ++i) {
        if (namesEqual(section->keys[i]->name, name)) {
            return section->keys[i];
        }
    }
    return nullptr;
}

int IniFile::getValue(const char* section, const char* key, const char** value) {
    IniSection* found = findSection(section);
    IniKey* entry = (found != nullptr && key != nullptr) ? findKey(found, key) : nullptr;
    if (value != nullptr) {
        *value = entry != nullptr ? entry->value : nullptr;
    }
    return entry != nullptr ? 1 : 0;
}

int IniFile::hasKey(const char* section, const char* key) {
    return getValue(section, key, nullptr);
}
