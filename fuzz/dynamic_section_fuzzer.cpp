// Feeds arbitrary bytes to readDynamicSection as the file of a shared object,
// through a memory file, with the file's true size. AddressSanitizer stops
// any access past the reader's own buffers; besides that, a read must return
// only strings that lie in the input NUL-terminated, and any other outcome
// must leave the result empty.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "safety/DynamicSection.h"

namespace {

int memoryFile() {
    static const int descriptor = memfd_create("dynamic_section_fuzzer", MFD_CLOEXEC);
    return descriptor;
}

bool holdsText(const std::string& input, const std::string& text) {
    return input.find(text + '\0') != std::string::npos;
}

void checkRead(const std::string& input, const tDynamicSection& section) {
    for (const std::string& name : section.needed) {
        if (!holdsText(input, name)) {
            abort();
        }
    }
    if (!holdsText(input, section.soname) || !holdsText(input, section.rpath) ||
        !holdsText(input, section.runpath)) {
        abort();
    }
}

void checkEmpty(const tDynamicSection& section) {
    if (!section.needed.empty() || !section.soname.empty() || section.hasRpath ||
        section.hasRunpath) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int descriptor = memoryFile();
    if (descriptor < 0 || ftruncate(descriptor, 0) != 0 ||
        pwrite(descriptor, data, size, 0) != static_cast<ssize_t>(size)) {
        abort();
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    tDynamicSection section;
    if (readDynamicSection(descriptor, size, section) == tDynamicSectionRead::read) {
        checkRead(input, section);
    } else {
        checkEmpty(section);
    }
    return 0;
}
