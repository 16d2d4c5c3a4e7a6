// Reading a shared object's dynamic section before the loader maps it: on
// real libraries the reader sees what the loader itself holds once it has
// mapped them; on crafted objects, every layout a linker may write reads, and
// every broken or foreign one reads as unreadable or as not ELF, never
// crashing and never reading past the file's bytes.
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "safety/DynamicSection.h"
#include "support/ServiceProcess.h"

namespace {

const char* const kSystemLibraryDirectory = "/usr/lib/x86_64-linux-gnu";

tDynamicSectionRead readDescriptor(int descriptor, tDynamicSection& section,
                                   uint64_t extraSize = 0) {
    struct stat info;
    if (fstat(descriptor, &info) != 0) {
        ADD_FAILURE() << "fstat: " << strerror(errno);
        return tDynamicSectionRead::unreadable;
    }
    return readDynamicSection(descriptor, static_cast<uint64_t>(info.st_size) + extraSize, section);
}

tDynamicSectionRead readPath(const std::string& path, tDynamicSection& section) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        ADD_FAILURE() << path << ": " << strerror(errno);
        return tDynamicSectionRead::unreadable;
    }
    const tDynamicSectionRead read = readDescriptor(descriptor, section);
    close(descriptor);
    return read;
}

// `extraSize`: what the caller's fstat is said to have found beyond the
// bytes, as when the file shrank since.
tDynamicSectionRead readBytes(const std::string& bytes, tDynamicSection& section,
                              uint64_t extraSize = 0) {
    const int descriptor = memfd_create("crafted", MFD_CLOEXEC);
    if (descriptor < 0 ||
        write(descriptor, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "memfd: " << strerror(errno);
        return tDynamicSectionRead::unreadable;
    }
    const tDynamicSectionRead read = readDescriptor(descriptor, section, extraSize);
    close(descriptor);
    return read;
}

std::string describe(const tDynamicSection& section) {
    std::string text = "needed:";
    for (const std::string& name : section.needed) {
        text += " " + name;
    }
    text += "\nsoname: " + section.soname;
    text += section.hasRpath ? "\nrpath: " + section.rpath : "\nno rpath";
    text += section.hasRunpath ? "\nrunpath: " + section.runpath : "\nno runpath";
    return text;
}

// What the loader holds for an object it has mapped: its dynamic entries in
// memory. The loader may have relocated DT_STRTAB in place: an address below
// the object's load address is still the file's.
tDynamicSection loaderView(const link_map* map) {
    const ElfW(Dyn)* entries = map->l_ld;
    const char* strings = nullptr;
    for (const ElfW(Dyn)* entry = entries; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag == DT_STRTAB) {
            const ElfW(Addr) address = entry->d_un.d_ptr;
            strings = reinterpret_cast<const char*>(address < map->l_addr ? map->l_addr + address
                                                                          : address);
        }
    }
    tDynamicSection section;
    for (const ElfW(Dyn)* entry = entries; strings != nullptr && entry->d_tag != DT_NULL; ++entry) {
        const char* text = strings + entry->d_un.d_val;
        if (entry->d_tag == DT_NEEDED) {
            section.needed.emplace_back(text);
        } else if (entry->d_tag == DT_SONAME) {
            section.soname = text;
        } else if (entry->d_tag == DT_RPATH) {
            section.rpath = text;
            section.hasRpath = true;
        } else if (entry->d_tag == DT_RUNPATH) {
            section.runpath = text;
            section.hasRunpath = true;
        }
    }
    return section;
}

TEST(DynamicSection, ReadsWhatTheLoaderHoldsOfRealLibraries) {
    // needy finds the library it needs by the soname already loaded.
    void* needed = dlopen(ZO_TEST_NEEDED_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(nullptr, needed) << dlerror();
    const std::string libraries[] = {"/lib/x86_64-linux-gnu/libc.so.6",
                                     "/lib/x86_64-linux-gnu/libstdc++.so.6",
                                     ZO_TEST_NEEDED_LIBRARY,
                                     ZO_TEST_PLUGIN_needy,
                                     ZO_TEST_PLUGIN_rpathed,
                                     ZO_TEST_PLUGIN_wayward,
                                     ZO_TEST_PLUGIN_aimless};
    for (const std::string& library : libraries) {
        void* handle = dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
        ASSERT_NE(nullptr, handle) << dlerror();
        link_map* map = nullptr;
        ASSERT_EQ(0, dlinfo(handle, RTLD_DI_LINKMAP, &map));
        tDynamicSection section;
        EXPECT_EQ(tDynamicSectionRead::read, readPath(library, section)) << library;
        EXPECT_EQ(describe(loaderView(map)), describe(section)) << library;
        dlclose(handle);
    }
    dlclose(needed);
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What the test objects were linked with; a sanitizer build adds its
// runtime's needs, and its directory in front of the run path.
TEST(DynamicSection, ReadsTheRunPathsAsWritten) {
    tDynamicSection section;
    ASSERT_EQ(tDynamicSectionRead::read, readPath(ZO_TEST_PLUGIN_rpathed, section));
    EXPECT_TRUE(section.hasRpath && endsWith(section.rpath, "$ORIGIN/lib:/usr/lib"))
        << section.rpath;
    EXPECT_FALSE(section.hasRunpath);

    ASSERT_EQ(tDynamicSectionRead::read, readPath(ZO_TEST_PLUGIN_needy, section));
    EXPECT_TRUE(section.hasRunpath && endsWith(section.runpath, "$ORIGIN/needed"))
        << section.runpath;
    EXPECT_FALSE(section.hasRpath);
    EXPECT_EQ(1, std::count(section.needed.begin(), section.needed.end(), "libzo_test_needed.so"));
    EXPECT_EQ("", section.soname);

    ASSERT_EQ(tDynamicSectionRead::read, readPath(ZO_TEST_NEEDED_LIBRARY, section));
    EXPECT_EQ("libzo_test_needed.so", section.soname);
}

TEST(DynamicSection, ReadsTheProgramAsTheLoaderMappedIt) {
    tDynamicSection section;
    EXPECT_EQ(tDynamicSectionRead::read, readPath("/proc/self/exe", section));
    void* self = dlopen(nullptr, RTLD_LAZY);
    link_map* map = nullptr;
    ASSERT_EQ(0, dlinfo(self, RTLD_DI_LINKMAP, &map));
    EXPECT_EQ(describe(loaderView(map)), describe(section));
    EXPECT_FALSE(section.needed.empty());
}

// Whatever the layout a linker chose, no library of the system is unreadable.
TEST(DynamicSection, EveryLibraryOfTheSystemReads) {
    DIR* directory = opendir(kSystemLibraryDirectory);
    ASSERT_NE(nullptr, directory);
    size_t objects = 0;
    while (const dirent* entry = readdir(directory)) {
        const std::string path = std::string(kSystemLibraryDirectory) + "/" + entry->d_name;
        struct stat info;
        if (path.find(".so") == std::string::npos || stat(path.c_str(), &info) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        tDynamicSection section;
        const tDynamicSectionRead read = readPath(path, section);
        EXPECT_NE(tDynamicSectionRead::unreadable, read) << path;
        objects += read == tDynamicSectionRead::read ? 1 : 0;
    }
    closedir(directory);
    EXPECT_GT(objects, 10u);
}

TEST(DynamicSection, FilesOfNoObjectNeedNothing) {
    for (const std::string& bytes : {std::string(),
                                     std::string("\x7f"
                                                 "EL"),
                                     std::string("#!/bin/sh\nexit 0\n"),
                                     std::string("/* GNU ld script */ GROUP ( libc.so.6 )")}) {
        tDynamicSection section;
        EXPECT_EQ(tDynamicSectionRead::notElf, readBytes(bytes, section)) << bytes;
        EXPECT_EQ(describe(tDynamicSection()), describe(section));
    }
}

// A small object written field by field: the ELF header, the program headers
// (a PT_LOAD mapping the whole file at kBase, PT_DYNAMIC, PT_NOTE) and the
// string table and dynamic segment at the offsets asked for.
class tCraftedObject {
  public:
    static constexpr uint64_t kBase = 0x400000;

    tCraftedObject(uint64_t stringsOffset, uint64_t dynamicOffset,
                   const std::string& lastRunPath = "/usr/lib/zo", uint64_t fileSize = 0)
        : stringsAt(stringsOffset), dynamicAt(dynamicOffset) {
        strings.push_back('\0');
        entries = {{DT_NEEDED, {text("libzo_one.so")}},
                   {DT_SONAME, {text("libzo_crafted.so.1")}},
                   {DT_NEEDED, {text("libzo_two.so")}},
                   {DT_RUNPATH, {text("$ORIGIN/lib:" + lastRunPath)}},
                   {DT_STRTAB, {kBase + stringsAt}},
                   {DT_STRSZ, {strings.size()}},
                   {DT_NULL, {0}}};
        size = std::max(
            {fileSize, stringsAt + strings.size(), dynamicAt + entries.size() * sizeof(Elf64_Dyn)});
        header = Elf64_Ehdr{};
        memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_ident[EI_DATA] = ELFDATA2LSB;
        header.e_ident[EI_VERSION] = EV_CURRENT;
        header.e_type = ET_DYN;
        header.e_machine = EM_X86_64;
        header.e_version = EV_CURRENT;
        header.e_phoff = sizeof(Elf64_Ehdr);
        header.e_ehsize = sizeof(Elf64_Ehdr);
        header.e_phentsize = sizeof(Elf64_Phdr);
        header.e_phnum = 3;
        segments = {segment(PT_LOAD, 0, size), segment(PT_DYNAMIC, dynamicAt, entries.size() * 16),
                    segment(PT_NOTE, 0, 0)};
    }

    Elf64_Dyn& entry(int64_t tag) {
        for (Elf64_Dyn& candidate : entries) {
            if (candidate.d_tag == tag) {
                return candidate;
            }
        }
        throw std::logic_error("no such entry");
    }

    std::string bytes() const {
        std::string file(size, '\0');
        memcpy(&file[0], &header, sizeof header);
        memcpy(&file[sizeof header], segments.data(), segments.size() * sizeof(Elf64_Phdr));
        file.replace(stringsAt, strings.size(), strings);
        memcpy(&file[dynamicAt], entries.data(), entries.size() * sizeof(Elf64_Dyn));
        return file;
    }

    static std::string expected(const std::string& lastRunPath = "/usr/lib/zo") {
        return "needed: libzo_one.so libzo_two.so\nsoname: libzo_crafted.so.1\nno rpath\n"
               "runpath: $ORIGIN/lib:" +
               lastRunPath;
    }

    const uint64_t stringsAt;
    const uint64_t dynamicAt;
    uint64_t size;
    Elf64_Ehdr header;
    std::vector<Elf64_Phdr> segments;
    std::string strings;
    std::vector<Elf64_Dyn> entries;

  private:
    uint64_t text(const std::string& value) {
        const uint64_t offset = strings.size();
        strings += value;
        strings.push_back('\0');
        return offset;
    }

    static Elf64_Phdr segment(uint32_t type, uint64_t offset, uint64_t length) {
        Elf64_Phdr header{};
        header.p_type = type;
        header.p_offset = offset;
        header.p_vaddr = kBase + offset;
        header.p_paddr = header.p_vaddr;
        header.p_filesz = length;
        header.p_memsz = length;
        header.p_align = 8;
        return header;
    }
};

TEST(DynamicSection, EveryLayoutOfTheSegmentsReads) {
    const std::string longPath = "/opt/" + std::string(2000, 'z');
    struct tLayout {
        const char* name;
        tCraftedObject object;
        std::string expected;
    };
    const tLayout layouts[] = {
        {"all in the first kilobyte", tCraftedObject(0x100, 0x200), tCraftedObject::expected()},
        {"a small file read whole", tCraftedObject(0x1400, 0x1800), tCraftedObject::expected()},
        {"headers and strings at the start of a large file",
         tCraftedObject(0x100, 0x9000, "/usr/lib/zo", 0x20000), tCraftedObject::expected()},
        {"strings and entries past the start", tCraftedObject(0x5000, 0x3000, "/usr/lib/zo"),
         tCraftedObject::expected()},
        {"a string longer than the first window", tCraftedObject(0x5000, 0x3000, longPath),
         tCraftedObject::expected(longPath)},
        {"a long string in the file's start", tCraftedObject(0x100, 0x3000, longPath),
         tCraftedObject::expected(longPath)},
    };
    for (const tLayout& layout : layouts) {
        tDynamicSection section;
        EXPECT_EQ(tDynamicSectionRead::read, readBytes(layout.object.bytes(), section))
            << layout.name;
        EXPECT_EQ(layout.expected, describe(section)) << layout.name;
    }
}

TEST(DynamicSection, ObjectsOfAnotherKindOfProcessNeedNothing) {
    const std::vector<std::pair<const char*, std::function<void(tCraftedObject&)>>> cases = {
        {"32-bit", [](tCraftedObject& o) { o.header.e_ident[EI_CLASS] = ELFCLASS32; }},
        {"big-endian", [](tCraftedObject& o) { o.header.e_ident[EI_DATA] = ELFDATA2MSB; }},
        {"another machine", [](tCraftedObject& o) { o.header.e_machine = EM_AARCH64; }},
        {"a relocatable object", [](tCraftedObject& o) { o.header.e_type = ET_REL; }},
        {"an unknown version", [](tCraftedObject& o) { o.header.e_ident[EI_VERSION] = 2; }},
    };
    for (const auto& [name, change] : cases) {
        tCraftedObject object(0x100, 0x200);
        change(object);
        tDynamicSection section;
        EXPECT_EQ(tDynamicSectionRead::notElf, readBytes(object.bytes(), section)) << name;
    }
}

TEST(DynamicSection, AStaticExecutableNeedsNothing) {
    for (const bool withoutHeaders : {false, true}) {
        tCraftedObject object(0x100, 0x200);
        object.header.e_type = ET_EXEC;
        object.segments[1].p_type = PT_NOTE;
        object.header.e_phnum = withoutHeaders ? 0 : 3;
        tDynamicSection section;
        EXPECT_EQ(tDynamicSectionRead::read, readBytes(object.bytes(), section));
        EXPECT_EQ(describe(tDynamicSection()), describe(section));
    }
}

TEST(DynamicSection, BrokenObjectsAreUnreadable) {
    constexpr uint64_t kHuge = ~uint64_t{0} - 8;
    const std::vector<std::pair<const char*, std::function<void(tCraftedObject&)>>> cases = {
        {"program headers past the end", [](tCraftedObject& o) { o.header.e_phoff = o.size - 60; }},
        {"program headers at an overflowing offset",
         [](tCraftedObject& o) { o.header.e_phoff = kHuge; }},
        {"a huge count of program headers", [](tCraftedObject& o) { o.header.e_phnum = 0xffff; }},
        {"program headers of another size", [](tCraftedObject& o) { o.header.e_phentsize = 32; }},
        {"two dynamic segments", [](tCraftedObject& o) { o.segments[2] = o.segments[1]; }},
        {"the dynamic segment outside every PT_LOAD",
         [](tCraftedObject& o) { o.segments[1].p_vaddr = 0x10; }},
        {"the dynamic segment running past the PT_LOAD",
         [](tCraftedObject& o) { o.segments[1].p_filesz = o.size; }},
        {"a huge dynamic segment", [](tCraftedObject& o) { o.segments[1].p_filesz = kHuge; }},
        {"DT_STRTAB past the file's end, in the PT_LOAD",
         [](tCraftedObject& o) {
             o.segments[0].p_filesz *= 2;
             o.entry(DT_STRTAB).d_un.d_ptr = tCraftedObject::kBase + o.size + 16;
         }},
        {"the PT_LOAD at an overflowing offset",
         [](tCraftedObject& o) { o.segments[0].p_offset = kHuge; }},
        {"no DT_NULL", [](tCraftedObject& o) { o.entry(DT_NULL).d_tag = DT_DEBUG; }},
        {"no DT_STRTAB", [](tCraftedObject& o) { o.entry(DT_STRTAB).d_tag = DT_DEBUG; }},
        {"no DT_STRSZ", [](tCraftedObject& o) { o.entry(DT_STRSZ).d_tag = DT_DEBUG; }},
        {"DT_STRTAB outside every PT_LOAD",
         [](tCraftedObject& o) { o.entry(DT_STRTAB).d_un.d_ptr = 0x10; }},
        {"DT_STRSZ past the PT_LOAD",
         [](tCraftedObject& o) { o.entry(DT_STRSZ).d_un.d_val = o.size; }},
        {"DT_STRSZ overflowing", [](tCraftedObject& o) { o.entry(DT_STRSZ).d_un.d_val = kHuge; }},
        {"a name past DT_STRSZ",
         [](tCraftedObject& o) { o.entry(DT_NEEDED).d_un.d_val = o.strings.size(); }},
        {"a name at an overflowing offset",
         [](tCraftedObject& o) { o.entry(DT_SONAME).d_un.d_val = kHuge; }},
        {"an unterminated last string", [](tCraftedObject& o) { o.entry(DT_STRSZ).d_un.d_val--; }},
    };
    for (const uint64_t stringsAt : {0x100, 0x5000}) {
        for (const auto& [name, change] : cases) {
            tCraftedObject object(stringsAt, 0x3000);
            change(object);
            tDynamicSection section;
            EXPECT_EQ(tDynamicSectionRead::unreadable, readBytes(object.bytes(), section))
                << name << " with the strings at " << stringsAt;
        }
    }
}

TEST(DynamicSection, ATruncatedObjectIsUnreadable) {
    const std::string bytes = tCraftedObject(0x100, 0x3000).bytes();
    for (const size_t length : {size_t{20}, size_t{63}, size_t{100}, size_t{0x3000}}) {
        tDynamicSection section;
        EXPECT_EQ(tDynamicSectionRead::unreadable, readBytes(bytes.substr(0, length), section))
            << length;
    }
    // The file shrank since the caller's fstat: in its first bytes, or further.
    tDynamicSection section;
    EXPECT_EQ(tDynamicSectionRead::unreadable, readBytes(bytes.substr(0, 0x3000), section, 0x100));
    EXPECT_EQ(tDynamicSectionRead::unreadable,
              readBytes(tCraftedObject(0x100, 0x200).bytes(), section, 16));
}

}  // namespace
