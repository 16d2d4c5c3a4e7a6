// What the dynamic loader reads from a shared object before it maps it: the
// names of the libraries it needs (DT_NEEDED), its own name (DT_SONAME) and
// the directories it asks the loader to search (DT_RPATH, DT_RUNPATH).
//
// Read with Debian's libelf from an open descriptor, without running any of
// the object's code. Free functions with no state of their own; libelf is
// set up once and may be used from any thread.
// Failures are the return value: a file that is not ELF at all yields
// tDynamicSectionRead::notElf (the loader refuses it too), an ELF object whose
// dynamic section cannot be read yields tDynamicSectionRead::unreadable.
// Nothing throws but std::bad_alloc.
#ifndef ZOKORVO_DYNAMICSECTION_H
#define ZOKORVO_DYNAMICSECTION_H

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

// Reads the dynamic section of the regular file open at `descriptor`; an
// object without one (a static executable) reads as empty.
tDynamicSectionRead readDynamicSection(int descriptor, tDynamicSection& section);

#endif  // ZOKORVO_DYNAMICSECTION_H
