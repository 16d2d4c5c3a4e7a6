// What the dynamic loader reads from a shared object before it maps it: the
// names of the libraries it needs (DT_NEEDED), its own name (DT_SONAME) and
// the directories it asks the loader to search (DT_RPATH, DT_RUNPATH).
//
// Read the way the loader reads it, by segments, from an open descriptor and
// without running any of the object's code: the ELF header and program
// headers, the PT_DYNAMIC segment, and the DT_STRTAB string table, both found
// through the PT_LOAD segments that map them; section headers are never
// looked at. Usually one pread of the file's start and one of the dynamic
// segment; nothing is allocated but the strings returned. Every offset and
// size in the file is checked, so any file is safe to hand in.
// Free functions with no state of their own; safe from any thread.
// Failures are the return value: a file that is not ELF, or is the ELF object
// of another kind of process (not 64-bit little-endian x86-64, or neither a
// shared object nor an executable), yields tDynamicSectionRead::notElf (the
// loader refuses it unmapped); an object whose dynamic entries or their
// strings cannot be read, or are not where they must be, yields
// tDynamicSectionRead::unreadable. Nothing throws but std::bad_alloc.
#ifndef ZOKORVO_DYNAMICSECTION_H
#define ZOKORVO_DYNAMICSECTION_H

#include <cstdint>
#include <string>
#include <vector>

struct tDynamicSection {
    std::vector<std::string> needed;  // in the object's order
    std::string soname;
    std::string rpath;  // colon-separated, as stored; valid when hasRpath
    std::string runpath;
    bool hasRpath = false;
    bool hasRunpath = false;
};

enum class tDynamicSectionRead { read, notElf, unreadable };

// Reads the dynamic section of the regular file open at `descriptor`, whose
// size the caller's fstat gave as `fileSize`; an object without one (a static
// executable) reads as empty. Reads with pread: the descriptor's offset is
// left as it was.
tDynamicSectionRead readDynamicSection(int descriptor, uint64_t fileSize, tDynamicSection& section);

#endif  // ZOKORVO_DYNAMICSECTION_H
