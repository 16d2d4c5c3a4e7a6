#include "DynamicSection.h"

#include <gelf.h>
#include <libelf.h>

#include <memory>

namespace {

using tElf = std::unique_ptr<Elf, decltype(&elf_end)>;

bool libelfReady() {
    static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
    return ready;
}

bool namesText(GElf_Sxword tag) {
    return tag == DT_NEEDED || tag == DT_SONAME || tag == DT_RPATH || tag == DT_RUNPATH;
}

// False when an entry's text cannot be found: a name the loader would read
// is then unknown here.
bool takeEntry(Elf* elf, size_t strings, const GElf_Dyn& entry, tDynamicSection& section) {
    if (!namesText(entry.d_tag)) {
        return true;
    }
    const char* text = elf_strptr(elf, strings, entry.d_un.d_val);
    if (text == nullptr) {
        return false;
    }
    if (entry.d_tag == DT_NEEDED) {
        section.needed.emplace_back(text);
    } else if (entry.d_tag == DT_SONAME) {
        section.soname = text;
    } else if (entry.d_tag == DT_RPATH) {
        section.rpath = text;
        section.hasRpath = true;
    } else {
        section.runpath = text;
        section.hasRunpath = true;
    }
    return true;
}

bool readSection(Elf* elf, Elf_Scn* scn, const GElf_Shdr& header, tDynamicSection& section) {
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (data == nullptr || header.sh_entsize == 0) {
        return false;
    }
    const size_t count = header.sh_size / header.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
        GElf_Dyn entry;
        if (gelf_getdyn(data, static_cast<int>(i), &entry) == nullptr) {
            return false;
        }
        if (entry.d_tag == DT_NULL) {
            break;
        }
        if (!takeEntry(elf, header.sh_link, entry, section)) {
            return false;
        }
    }
    return true;
}

bool hasDynamicSegment(Elf* elf) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr header;
        if (gelf_getphdr(elf, static_cast<int>(i), &header) != nullptr &&
            header.p_type == PT_DYNAMIC) {
            return true;
        }
    }
    return false;
}

}  // namespace

tDynamicSectionRead readDynamicSection(int descriptor, tDynamicSection& section) {
    section = tDynamicSection();
    if (!libelfReady()) {
        return tDynamicSectionRead::unreadable;
    }
    // Read piece by piece, not mapped: a mapping costs more than the few
    // reads of the headers and the dynamic section, for every plugin.
    const tElf elf(elf_begin(descriptor, ELF_C_READ, nullptr), &elf_end);
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) {
        return tDynamicSectionRead::notElf;
    }
    bool found = false;
    for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn != nullptr;
         scn = elf_nextscn(elf.get(), scn)) {
        GElf_Shdr header;
        if (gelf_getshdr(scn, &header) == nullptr) {
            return tDynamicSectionRead::unreadable;
        }
        if (header.sh_type == SHT_DYNAMIC) {
            if (!readSection(elf.get(), scn, header, section)) {
                return tDynamicSectionRead::unreadable;
            }
            found = true;
        }
    }
    // The loader reads the segment, not the section: an object stripped of
    // its section headers still has needs, which are then unknown here.
    if (!found && hasDynamicSegment(elf.get())) {
        return tDynamicSectionRead::unreadable;
    }
    return tDynamicSectionRead::read;
}
