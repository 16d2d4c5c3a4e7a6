// IniFile reads an INI document (named sections of named keys with string values) from a file
// or an open stream and answers lookups of a value by section and key name. Reading only: a
// document is never written back.
//
// Ownership: IniFile::create returns a heap document that the caller releases with
// IniFile::destroy; the document owns every section, key and string in it. A value handed out
// by getValue stays valid until the next read into the same document or its destruction.
// Threads: nothing here is thread-safe, lookups included (findSection caches its last answer).
// Use a document from one thread at a time; separate documents are independent.
// Failures: integer result codes (kIniResult... below), never exceptions. Syntax problems are
// not failures: the offending line is skipped and the first one is remembered in
// firstErrorLine().
//
// Syntax, one line at a time (see iniClassifyLine): leading white space is ignored; ";" starts a
// comment; "[name]" opens or, when the name is already known, continues a section; "key=value"
// defines a key in the current section. Anything else, an empty or blank line or a "#" line
// included, is an error line. A ";" after the separator belongs to the value. After the last
// line, keys named "Base Line1", "Base Line2", ... are joined into one key "Base".
//
// The reader's own pieces are public so that a checking tool can walk a file exactly as the
// parser does and say why a line is bad: iniOpenFile, IniLineReader (with its
// skipByteOrderMark) and iniClassifyLine are the very functions IniFile::readFile uses;
// IniFile::readStream checks the mark of a stream handed to it with iniSkipByteOrderMark.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Parse flags (IniFile::setFlags).
// A key line with an empty value defines the key with an empty value instead of being an error.
constexpr uint32_t kIniAllowEmptyValues = 1;
// A value of two or more characters enclosed in double quotes loses them.
constexpr uint32_t kIniStripDoubleQuotes = 2;
// The same for single quotes, tried only when double quotes were not removed.
constexpr uint32_t kIniStripSingleQuotes = 4;
// ":" and ":=" separate a key from its value as well as "="; a key before any section header
// goes into a section named "(null)" instead of being dropped.
constexpr uint32_t kIniRelaxedSyntax = 8;

// Result codes of the reading operations.
constexpr int kIniResultOk = 0;
constexpr int kIniResultUnsupportedEncoding = -3;  // UTF-16 or UTF-32 byte-order mark
constexpr int kIniResultOutOfMemory = -12;
constexpr int kIniResultFileMissing = -22;   // cannot be opened and does not exist, or null path
constexpr int kIniResultCannotOpen = -5001;  // exists but cannot be opened
constexpr int kIniResultReadFailed = -5002;
constexpr int kIniResultSeekFailed = -1;  // repositioning after the byte-order-mark check

// Sizes of the reader's buffers: the stream is read in blocks of kIniReadBlockSize bytes, and a
// line buffer starts at kIniInitialLineCapacity bytes and doubles while a line does not fit.
constexpr size_t kIniReadBlockSize = 2084;
constexpr size_t kIniInitialLineCapacity = 256;

struct IniKey {
    char* name;   // trimmed at both ends
    char* value;  // trimmed, quotes removed per the parse flags
};

struct IniSection {
    char* name;     // trimmed at both ends
    IniKey** keys;  // in order of first appearance; grows by one element per insertion
    size_t keyCount;
};

// What one line is, as the parser decides it. The kinds from kIniLineBlank on are error lines:
// they define nothing and the first of them sets IniFile::firstErrorLine.
enum IniLineKind {
    kIniLineComment,           // first character after leading white space is ";"
    kIniLineSection,           // "[name]"; text after "]" is ignored
    kIniLineKey,               // "name=value"
    kIniLineBlank,             // empty or only white space
    kIniLineNoSeparator,       // neither comment nor header, and no separator ("# note" too)
    kIniLineEmptyKeyName,      // nothing before the separator
    kIniLineUnclosedSection,   // "[" without a "]"
    kIniLineEmptySectionName,  // "[]" or only white space between the brackets
    kIniLineEmptyValue,        // nothing after the separator, without kIniAllowEmptyValues
};

// A stretch of a line; not NUL-terminated.
struct IniSpan {
    const char* start;
    size_t length;
};

// The parts of a line that the parser keeps: for a section header the name in `name`; for a
// key line the key name in `name` and the value, trimmed and quote-stripped, in `value`.
struct IniLineParts {
    IniSpan name;
    IniSpan value;
};

// Classifies one line (without its terminator) under the parse flags and, for a header or a key
// line, fills `parts` (may be null) with spans into `line`. This is the parser's one decision
// about a line; whether a key lands in a section is the document's business, not the line's.
IniLineKind iniClassifyLine(const char* line, uint32_t flags, IniLineParts* parts);

// 1 for the kinds that are error lines, else 0.
int iniLineIsError(IniLineKind kind);

// Opens `path` for reading in binary mode. Returns kIniResultOk with *stream set, or
// kIniResultFileMissing (null path, or the file does not exist) or kIniResultCannotOpen (it
// exists but cannot be opened) with *stream untouched. The caller closes the stream.
int iniOpenFile(const char* path, FILE** stream);

// Inspects the first bytes of a freshly opened stream and leaves it positioned where the text
// starts: after a UTF-8 byte-order mark, else at the start. Returns kIniResultOk,
// kIniResultUnsupportedEncoding for a UTF-16 or UTF-32 mark, kIniResultReadFailed, or the
// result of the failed repositioning (kIniResultSeekFailed) for a stream that cannot seek.
int iniSkipByteOrderMark(FILE* stream);

// What one IniLineReader::readLine call found.
struct IniLineRead {
    size_t length;     // characters stored by this call
    int lineComplete;  // the line ended (terminator, or end of input after some characters)
    int atEnd;         // the input is exhausted and no line was stored
};

// Splits a stream, or bytes in memory, into lines. A line ends at "\n", "\r" or a NUL byte; the
// terminator is not stored. A terminator that directly follows a different one ("\r\n",
// "\n\r") completes a two-character line break instead of ending an empty line, so CR LF, LF
// and lone CR files number their lines alike. Lines are numbered from 1. Owns neither the stream
// nor the bytes.
struct IniLineReader {
    FILE* stream;                // null for a reader over bytes
    const unsigned char* block;  // what is read: the read buffer, or the bytes themselves
    unsigned char* readBuffer;   // kIniReadBlockSize bytes of a reader over a stream, else null
    size_t blockLength;
    size_t blockPosition;
    int inputEnded;
    int previousTerminator;  // the terminator that ended the last line, -1 when none may pair
    int lineOpen;            // part of the current line was handed out by an earlier call
    uint64_t completedLines;

    // Null when memory is short.
    static IniLineReader* create(FILE* stream);
    // A reader over the `length` bytes at `bytes`, read in place: they must outlive the reader.
    // Null when memory is short.
    static IniLineReader* createOverBytes(const char* bytes, size_t length);
    // Null accepted.
    static void destroy(IniLineReader* reader);

    // For a reader over a stream at the very start of its text, before the first line is read:
    // checks the byte-order mark in the first block and moves past a UTF-8 mark, as
    // iniSkipByteOrderMark does without repositioning the stream. Returns kIniResultOk,
    // kIniResultUnsupportedEncoding or kIniResultReadFailed.
    int skipByteOrderMark();

    // Stores at most `maxChars` characters of the current line into `buffer` and NUL-terminates
    // it (the buffer holds maxChars + 1 bytes). When the line does not fit, the call returns it
    // incomplete and the next call continues the same line. Returns kIniResultOk or
    // kIniResultReadFailed.
    int readLine(char* buffer, size_t maxChars, IniLineRead* result);

    // Reads the next whole line into the heap buffer *buffer of *capacity bytes, doubling it
    // (realloc) until the line fits; a null buffer of capacity 0 is allocated first. This is
    // how the parser reads, so a caller walking a file with it sees the parser's lines and line
    // numbers. *haveLine becomes 0 at the end of the input. Returns kIniResultOk,
    // kIniResultReadFailed or kIniResultOutOfMemory; the buffer is the caller's to free in
    // every case.
    int readWholeLine(char** buffer, size_t* capacity, int* haveLine);

    // The number of lines completed so far, which is the number of the line just read;
    // saturates at INT32_MAX.
    int32_t lineNumber() const;

  private:
    size_t copyLineRun(char* buffer, size_t maxChars);
    int nextByte(int* byte);
    int peekByte(int* byte);
    int refill();
};

struct IniFile {
    IniSection** sections;  // in order of first appearance; grows by one element per insertion
    size_t sectionCount;
    IniSection* lastSection;   // the section findSection found last
    uint32_t mergeDuplicates;  // a repeated header continues its section, a repeated key replaces
    uint32_t caseSensitive;    // 0: names compare with compareNames, else with strcmp
    uint32_t flags;            // kIni... parse flags
    int32_t firstErrorLineNumber;  // -1 when every line was good

    // A new empty document (merging duplicates, names compared without regard to case,
    // kIniStripDoubleQuotes), or null when `reserved` is not 0 or memory is short.
    static IniFile* create(int reserved);
    // Frees the document and everything in it; null accepted.
    static void destroy(IniFile* file);

    // Stores the parse flags for the reads that follow; returns 1.
    int setFlags(uint32_t newFlags);

    // Replaces the document with the contents of the file at `path`; returns a result code.
    int readFile(const char* path);
    // The same for an open stream, read from its start; the stream stays open. A null stream
    // gives kIniResultFileMissing.
    int readStream(FILE* stream);
    // The same for the `length` bytes at `bytes`, as readFile reads the bytes of a file: the
    // byte-order mark is looked for at their start. A null `bytes` with a `length` gives
    // kIniResultFileMissing.
    int readBytes(const char* bytes, size_t length);
    // Parses the lines of `reader` into the document, replacing what it held. After a failure
    // the document holds what was parsed before it.
    int parse(IniLineReader* reader);
    // Joins each run of numbered keys ("Base Line1", then keys numbered other than 1) into one
    // key named by the run's first base name, holding the values concatenated in order.
    int joinNumberedKeys();

    // The number of the first error line of the last read, or -1.
    int32_t firstErrorLine() const;

    // 1 and *value set to the stored value when the section and the key exist; otherwise 0 and
    // *value set to null. `value` may be null.
    int getValue(const char* section, const char* key, const char** value);
    // 1 when getValue would succeed, else 0.
    int hasKey(const char* section, const char* key);
    // The section of that name, or null.
    IniSection* findSection(const char* name);

    // Compares two names without regard to letter case or surrounding white space, both in the
    // C locale's terms whatever the process's locale; orders like strcmp, 0 meaning equal.
    static int compareNames(const char* left, const char* right);

  private:
    int namesEqual(const char* left, const char* right) const;
    IniKey* findKey(IniSection* section, const char* name) const;
    void freeSections();
    int applyLine(const char* line, int32_t lineNumber, IniSection** current);
    int enterSection(IniSpan name, IniSection** current);
    int storeKey(const IniLineParts& parts, IniSection** current);
    int appendSection(char* name, IniSection** added);
    // Where the byte-order mark is dealt with: already by iniSkipByteOrderMark, or by the
    // reader in its first block.
    enum IniMarkCheck { kIniMarkSkipped, kIniMarkInFirstBlock };
    int parseStream(FILE* stream, IniMarkCheck markCheck);
    int parseLines(IniLineReader* reader, IniMarkCheck markCheck);
};
