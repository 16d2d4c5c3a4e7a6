#include "safety/DynamicSection.h"

#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the object's little-endian fields are copied as they lie in the file");

// A file up to kWholeFileSize is read whole with one pread, a larger one's
// first kHeadSize bytes: they hold the ELF header, the program headers and,
// in a small library, its string table. One pread of 8 KiB costs less than
// two small ones; one of 16 KiB as much as two, for a larger buffer. The
// head of a larger file stays small: its dynamic segment lies further on in
// any case, and at the start the libraries are judged beside the reading of
// the descriptions, which every byte copied from the page cache here slows
// (bench/README.md).
constexpr size_t kWholeFileSize = 8192;
constexpr size_t kHeadSize = 1024;
// A region outside the head up to this size is read onto the stack.
constexpr size_t kInlineRegionSize = 1024;
// No real object's dynamic segment or string window comes near this: a larger
// one is unreadable rather than allocated.
constexpr uint64_t kLargestRegionSize = uint64_t{16} << 20;
// How far the first read of the strings reaches past the last one's start;
// a longer last string is read to the table's end.
constexpr uint64_t kStringTail = 512;

template <typename T>
T copyOf(const unsigned char* bytes) {
    T value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

// True when [offset, offset + length) lies within [0, limit).
bool within(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

// False on an error or at the file's end (it shrank since its fstat).
bool readFully(int descriptor, unsigned char* buffer, size_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t got = pread(descriptor, buffer, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        buffer += got;
        length -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// Bytes of the file read outside its head: on the stack when they are few.
class tRegion {
  public:
    unsigned char* reserve(size_t length) {
        if (length <= sizeof inlineBytes) {
            return inlineBytes;
        }
        heapBytes.resize(length);
        return heapBytes.data();
    }

  private:
    unsigned char inlineBytes[kInlineRegionSize];
    std::vector<unsigned char> heapBytes;
};

// The object's file: its head read once, any other bytes when asked for.
class tObjectFile {
  public:
    // The head is left unset: only what pread filled is ever looked at.
    // cppcheck-suppress uninitMemberVar
    tObjectFile(int fileDescriptor, uint64_t fileSize)
        : descriptor(fileDescriptor), size(fileSize) {}

    bool readHead() {
        headSize = size <= kWholeFileSize ? static_cast<size_t>(size) : kHeadSize;
        return readFully(descriptor, head, headSize, 0);
    }

    bool startsAsElf() const { return headSize >= SELFMAG && memcmp(head, ELFMAG, SELFMAG) == 0; }

    // False when the file is too short to hold it.
    bool elfHeader(Elf64_Ehdr& header) const {
        if (headSize < sizeof header) {
            return false;
        }
        header = copyOf<Elf64_Ehdr>(head);
        return true;
    }

    // The `length` bytes at `offset`: in the head, or read into `region`;
    // nullptr when they lie past the file's end or cannot be read.
    const unsigned char* bytes(uint64_t offset, uint64_t length, tRegion& region) {
        if (within(offset, length, headSize)) {
            return head + offset;
        }
        if (!within(offset, length, size) || length > kLargestRegionSize) {
            return nullptr;
        }
        unsigned char* buffer = region.reserve(static_cast<size_t>(length));
        return readFully(descriptor, buffer, static_cast<size_t>(length), offset) ? buffer
                                                                                  : nullptr;
    }

  private:
    const int descriptor;
    const uint64_t size;
    size_t headSize = 0;
    unsigned char head[kWholeFileSize];
};

// The loader maps only objects of its own process's kind.
bool isForThisProcess(const Elf64_Ehdr& header) {
    return header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_ident[EI_DATA] == ELFDATA2LSB &&
           header.e_ident[EI_VERSION] == EV_CURRENT && header.e_machine == EM_X86_64 &&
           (header.e_type == ET_DYN || header.e_type == ET_EXEC);
}

// The object's program headers as the file holds them.
class tSegments {
  public:
    tSegments(const unsigned char* headers, size_t headerCount)
        : table(headers), count(headerCount) {}

    Elf64_Phdr at(size_t index) const {
        return copyOf<Elf64_Phdr>(table + index * sizeof(Elf64_Phdr));
    }

    size_t countOf(uint32_t type, Elf64_Phdr& last) const {
        size_t found = 0;
        for (size_t i = 0; i < count; ++i) {
            const Elf64_Phdr segment = at(i);
            if (segment.p_type == type) {
                last = segment;
                ++found;
            }
        }
        return found;
    }

    // Where in the file lie the `length` bytes that the loader maps at
    // `address`; false unless one PT_LOAD segment maps them all from the file.
    bool fileOffset(uint64_t address, uint64_t length, uint64_t& offset) const {
        for (size_t i = 0; i < count; ++i) {
            const Elf64_Phdr segment = at(i);
            if (segment.p_type != PT_LOAD || address < segment.p_vaddr ||
                segment.p_offset > std::numeric_limits<uint64_t>::max() - segment.p_filesz) {
                continue;
            }
            const uint64_t into = address - segment.p_vaddr;
            if (within(into, length, segment.p_filesz)) {
                offset = segment.p_offset + into;
                return true;
            }
        }
        return false;
    }

  private:
    const unsigned char* const table;
    const size_t count;
};

bool namesText(int64_t tag) {
    return tag == DT_NEEDED || tag == DT_SONAME || tag == DT_RPATH || tag == DT_RUNPATH;
}

// The dynamic entries up to DT_NULL, where the loader stops; of a tag that
// occurs more than once, the loader keeps the last.
class tEntries {
  public:
    tEntries(const unsigned char* segment, size_t capacity) : bytes(segment) {
        for (count = 0; count < capacity; ++count) {
            const Elf64_Dyn entry = at(count);
            if (entry.d_tag == DT_NULL) {
                terminated = true;
                break;
            }
            note(entry);
        }
    }

    Elf64_Dyn at(size_t index) const {
        return copyOf<Elf64_Dyn>(bytes + index * sizeof(Elf64_Dyn));
    }

    const unsigned char* const bytes;
    size_t count = 0;
    bool terminated = false;
    bool hasStrtab = false;
    bool hasStrsz = false;
    uint64_t strtab = 0;  // the string table's address
    uint64_t strsz = 0;
    bool hasText = false;
    uint64_t firstText = std::numeric_limits<uint64_t>::max();  // the lowest string offset
    uint64_t lastText = 0;                                      // the highest

  private:
    void note(const Elf64_Dyn& entry) {
        if (entry.d_tag == DT_STRTAB) {
            hasStrtab = true;
            strtab = entry.d_un.d_ptr;
        } else if (entry.d_tag == DT_STRSZ) {
            hasStrsz = true;
            strsz = entry.d_un.d_val;
        } else if (namesText(entry.d_tag)) {
            hasText = true;
            firstText = std::min(firstText, entry.d_un.d_val);
            lastText = std::max(lastText, entry.d_un.d_val);
        }
    }
};

// The string table's bytes from offset `first` to `end`, which hold the start
// of every string the entries name.
struct tStringWindow {
    const unsigned char* bytes;
    uint64_t first;
    uint64_t end;

    // The length of the string at `offset`; false when it does not end
    // within the window.
    bool lengthAt(uint64_t offset, size_t& length) const {
        const unsigned char* start = bytes + (offset - first);
        const void* nul = memchr(start, '\0', static_cast<size_t>(end - offset));
        if (nul == nullptr) {
            return false;
        }
        length = static_cast<size_t>(static_cast<const unsigned char*>(nul) - start);
        return true;
    }
};

bool allTerminated(const tEntries& entries, const tStringWindow& window) {
    size_t length = 0;
    for (size_t i = 0; i < entries.count; ++i) {
        const Elf64_Dyn entry = entries.at(i);
        if (namesText(entry.d_tag) && !window.lengthAt(entry.d_un.d_val, length)) {
            return false;
        }
    }
    return true;
}

void takeTexts(const tEntries& entries, const tStringWindow& window, tDynamicSection& section) {
    for (size_t i = 0; i < entries.count; ++i) {
        const Elf64_Dyn entry = entries.at(i);
        size_t length = 0;
        if (!namesText(entry.d_tag) || !window.lengthAt(entry.d_un.d_val, length)) {
            continue;
        }
        const char* text =
            reinterpret_cast<const char*>(window.bytes + (entry.d_un.d_val - window.first));
        if (entry.d_tag == DT_NEEDED) {
            section.needed.emplace_back(text, length);
        } else if (entry.d_tag == DT_SONAME) {
            section.soname.assign(text, length);
        } else if (entry.d_tag == DT_RPATH) {
            section.rpath.assign(text, length);
            section.hasRpath = true;
        } else {
            section.runpath.assign(text, length);
            section.hasRunpath = true;
        }
    }
}

// Reads the strings first in a window that ends a little past the last one's
// start, then, should one run past it, in one that ends at the table's end.
tDynamicSectionRead readTexts(tObjectFile& file, const tSegments& segments, const tEntries& entries,
                              tDynamicSection& section) {
    uint64_t tableOffset = 0;
    if (!entries.hasStrtab || !entries.hasStrsz || entries.lastText >= entries.strsz ||
        !segments.fileOffset(entries.strtab, entries.strsz, tableOffset)) {
        return tDynamicSectionRead::unreadable;
    }
    const uint64_t shortEnd = entries.strsz - entries.lastText > kStringTail
                                  ? entries.lastText + kStringTail
                                  : entries.strsz;
    for (const uint64_t end : {shortEnd, entries.strsz}) {
        tRegion region;
        const tStringWindow window{
            file.bytes(tableOffset + entries.firstText, end - entries.firstText, region),
            entries.firstText, end};
        if (window.bytes == nullptr) {
            return tDynamicSectionRead::unreadable;
        }
        if (allTerminated(entries, window)) {
            takeTexts(entries, window, section);
            return tDynamicSectionRead::read;
        }
        if (end == entries.strsz) {
            break;
        }
    }
    return tDynamicSectionRead::unreadable;
}

// The PT_DYNAMIC segment at the address the loader reads it from.
tDynamicSectionRead readSegment(tObjectFile& file, const tSegments& segments,
                                const Elf64_Phdr& dynamic, tDynamicSection& section) {
    uint64_t offset = 0;
    if (!segments.fileOffset(dynamic.p_vaddr, dynamic.p_filesz, offset)) {
        return tDynamicSectionRead::unreadable;
    }
    tRegion region;
    const unsigned char* bytes = file.bytes(offset, dynamic.p_filesz, region);
    if (bytes == nullptr) {
        return tDynamicSectionRead::unreadable;
    }
    const tEntries entries(bytes, static_cast<size_t>(dynamic.p_filesz / sizeof(Elf64_Dyn)));
    if (!entries.terminated) {
        return tDynamicSectionRead::unreadable;
    }
    if (!entries.hasText) {
        return tDynamicSectionRead::read;
    }
    return readTexts(file, segments, entries, section);
}

// Emptied, not replaced: the caller reuses one section from library to
// library, and its buffers then serve again without allocating.
void emptyKeepingBuffers(tDynamicSection& section) {
    section.needed.clear();
    section.soname.clear();
    section.rpath.clear();
    section.runpath.clear();
    section.hasRpath = false;
    section.hasRunpath = false;
}

}  // namespace

tDynamicSectionRead readDynamicSection(int descriptor, uint64_t fileSize,
                                       tDynamicSection& section) {
    emptyKeepingBuffers(section);
    tObjectFile file(descriptor, fileSize);
    if (!file.readHead()) {
        return tDynamicSectionRead::unreadable;
    }
    if (!file.startsAsElf()) {
        return tDynamicSectionRead::notElf;
    }
    Elf64_Ehdr header;
    if (!file.elfHeader(header)) {
        return tDynamicSectionRead::unreadable;
    }
    if (!isForThisProcess(header)) {
        return tDynamicSectionRead::notElf;
    }
    if (header.e_phnum == 0) {
        return tDynamicSectionRead::read;
    }
    if (header.e_phentsize != sizeof(Elf64_Phdr)) {
        return tDynamicSectionRead::unreadable;
    }
    tRegion tableRegion;
    const unsigned char* table =
        file.bytes(header.e_phoff, uint64_t{header.e_phnum} * sizeof(Elf64_Phdr), tableRegion);
    if (table == nullptr) {
        return tDynamicSectionRead::unreadable;
    }
    const tSegments segments(table, header.e_phnum);
    Elf64_Phdr dynamic{};
    const size_t dynamicCount = segments.countOf(PT_DYNAMIC, dynamic);
    if (dynamicCount == 0) {
        return tDynamicSectionRead::read;
    }
    // Which of two the loader would take is not worth guessing.
    if (dynamicCount > 1) {
        return tDynamicSectionRead::unreadable;
    }
    return readSegment(file, segments, dynamic, section);
}
