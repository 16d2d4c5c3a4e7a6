#include "UnloadHindrance.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace nPluginCheck {
namespace {

// The file mapped read-only for as long as it is looked at.
class tMappedFile {
  public:
    explicit tMappedFile(const std::string& path) {
        const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (descriptor < 0) {
            return;
        }
        if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr))) {
            void* mapped = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ,
                                MAP_PRIVATE, descriptor, 0);
            if (mapped != MAP_FAILED) {
                bytes = static_cast<const unsigned char*>(mapped);
                size = static_cast<size_t>(status.st_size);
            }
        }
        close(descriptor);
    }
    ~tMappedFile() {
        if (bytes != nullptr) {
            munmap(const_cast<unsigned char*>(bytes), size);
        }
    }
    tMappedFile(const tMappedFile&) = delete;
    tMappedFile& operator=(const tMappedFile&) = delete;

    // `count` objects of T at `offset`, or null when they do not lie in the file.
    template <typename T>
    const T* at(uint64_t offset, uint64_t count = 1) const {
        if (bytes == nullptr || offset > size || count > (size - offset) / sizeof(T)) {
            return nullptr;
        }
        return reinterpret_cast<const T*>(bytes + offset);
    }

  private:
    const unsigned char* bytes = nullptr;
    size_t size = 0;
};

struct tUnloadFacts {
    bool nodelete = false;
    std::string uniqueSymbol;  // the first GNU unique symbol defined; empty: none
};

const Elf64_Shdr* sectionHeaders(const tMappedFile& file, const Elf64_Ehdr& header) {
    if (header.e_shentsize != sizeof(Elf64_Shdr)) {
        return nullptr;
    }
    return file.at<Elf64_Shdr>(header.e_shoff, header.e_shnum);
}

void readDynamic(const tMappedFile& file, const Elf64_Shdr& section, tUnloadFacts& facts) {
    const uint64_t count = section.sh_size / sizeof(Elf64_Dyn);
    const Elf64_Dyn* entries = file.at<Elf64_Dyn>(section.sh_offset, count);
    for (uint64_t i = 0; entries != nullptr && i < count && entries[i].d_tag != DT_NULL; ++i) {
        if (entries[i].d_tag == DT_FLAGS_1 && (entries[i].d_un.d_val & DF_1_NODELETE) != 0) {
            facts.nodelete = true;
        }
    }
}

std::string readable(const char* name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? demangled.get() : name;
}

void readSymbols(const tMappedFile& file, const Elf64_Shdr* sections, uint16_t sectionCount,
                 const Elf64_Shdr& section, tUnloadFacts& facts) {
    const uint64_t count = section.sh_size / sizeof(Elf64_Sym);
    const Elf64_Sym* symbols = file.at<Elf64_Sym>(section.sh_offset, count);
    if (symbols == nullptr || section.sh_link >= sectionCount) {
        return;
    }
    const Elf64_Shdr& strings = sections[section.sh_link];
    const char* names = file.at<char>(strings.sh_offset, strings.sh_size);
    for (uint64_t i = 0; i < count && facts.uniqueSymbol.empty(); ++i) {
        if (ELF64_ST_BIND(symbols[i].st_info) != STB_GNU_UNIQUE ||
            symbols[i].st_shndx == SHN_UNDEF) {
            continue;
        }
        const uint32_t name = symbols[i].st_name;
        const bool named = names != nullptr && name < strings.sh_size &&
                           memchr(names + name, '\0', strings.sh_size - name) != nullptr;
        facts.uniqueSymbol = named ? readable(names + name) : "one without a name";
    }
}

tUnloadFacts readUnloadFacts(const std::string& path) {
    tUnloadFacts facts;
    const tMappedFile file(path);
    const Elf64_Ehdr* header = file.at<Elf64_Ehdr>(0);
    if (header == nullptr || memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64) {
        return facts;
    }
    const Elf64_Shdr* sections = sectionHeaders(file, *header);
    for (uint16_t i = 0; sections != nullptr && i < header->e_shnum; ++i) {
        if (sections[i].sh_type == SHT_DYNAMIC) {
            readDynamic(file, sections[i], facts);
        } else if (sections[i].sh_type == SHT_DYNSYM) {
            readSymbols(file, sections, header->e_shnum, sections[i], facts);
        }
    }
    return facts;
}

}  // namespace

std::string whyStillMapped(const std::string& libraryFile) {
    const tUnloadFacts facts = readUnloadFacts(libraryFile);
    if (!facts.uniqueSymbol.empty()) {
        return "it defines GNU unique symbols (" + facts.uniqueSymbol +
               "), which the loader never unloads: build it with -fno-gnu-unique (the plugin "
               "kit's zoKorvoPlugin.cmake and zoKorvoPlugin.pc give it); a reload cannot "
               "replace it until then";
    }
    if (facts.nodelete) {
        return "it is marked never to be unloaded (DF_1_NODELETE, linked with -z nodelete): "
               "link it without, or a reload cannot replace it";
    }
    return "nothing in it keeps it mapped: the loader holds it for another library still "
           "mapped that needs it or binds to its symbols (a plugin that cannot be unloaded, or "
           "one that needs this library too); make that one unloadable";
}

}  // namespace nPluginCheck
