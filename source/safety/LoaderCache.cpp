#include "safety/LoaderCache.h"

#include <cstdint>
#include <cstring>

const char* const kLoaderCacheFile = "/etc/ld.so.cache";

namespace {

constexpr char kOldMagic[] = "ld.so-1.7.0";
constexpr char kNewMagic[] = "glibc-ld.so.cache1.1";
constexpr size_t kOldHeaderSize = 16;  // magic, then the entry count at 12
constexpr size_t kOldEntrySize = 12;
constexpr size_t kNewHeaderSize = 48;  // magic and version, counts at 20, entries at 48
constexpr size_t kNewEntrySize = 24;   // flags, key, value, os version, hardware caps

// The entry's flags: its kind of object in the low byte, the architecture above.
constexpr uint32_t kTypeMask = 0x00ff;
constexpr uint32_t kElfLibc6 = 0x0003;
constexpr uint32_t kArchitectureMask = 0xff00;
#if defined(__x86_64__)
constexpr uint32_t kThisArchitecture = 0x0300;
#elif defined(__aarch64__)
constexpr uint32_t kThisArchitecture = 0x0a00;
#else
constexpr uint32_t kThisArchitecture = 0;
#endif

uint32_t wordAt(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

bool startsWith(const std::string& bytes, size_t offset, const char* text) {
    return bytes.compare(offset, strlen(text), text) == 0;
}

// Where the new format's header begins, or npos.
size_t newHeaderOffset(const std::string& cache) {
    if (!startsWith(cache, 0, kOldMagic)) {
        return 0;
    }
    if (cache.size() < kOldHeaderSize) {
        return std::string::npos;
    }
    const uint64_t oldEnd = kOldHeaderSize + uint64_t{wordAt(cache, 12)} * kOldEntrySize;
    const uint64_t aligned = (oldEnd + 7) & ~uint64_t{7};
    return aligned < cache.size() ? static_cast<size_t>(aligned) : std::string::npos;
}

// The NUL-terminated text at `offset` from `base`, if it lies in the cache.
bool textAt(const std::string& cache, size_t base, uint32_t offset, std::string& text) {
    const size_t begin = base + offset;
    if (offset >= cache.size() - base) {
        return false;
    }
    const size_t end = cache.find('\0', begin);
    if (end == std::string::npos) {
        return false;
    }
    text.assign(cache, begin, end - begin);
    return true;
}

}  // namespace

bool findInLoaderCache(const std::string& cache, const std::string& name,
                       std::vector<std::string>& paths) {
    const size_t base = newHeaderOffset(cache);
    if (base == std::string::npos || cache.size() - base < kNewHeaderSize ||
        !startsWith(cache, base, kNewMagic)) {
        return false;
    }
    const uint64_t count = wordAt(cache, base + 20);
    if (count > (cache.size() - base - kNewHeaderSize) / kNewEntrySize) {
        return false;
    }
    std::string key;
    std::string value;
    for (uint64_t i = 0; i < count; ++i) {
        const size_t entry = base + kNewHeaderSize + static_cast<size_t>(i) * kNewEntrySize;
        const uint32_t flags = wordAt(cache, entry);
        if ((flags & kTypeMask) != kElfLibc6 || (flags & kArchitectureMask) != kThisArchitecture ||
            !textAt(cache, base, wordAt(cache, entry + 4), key) || key != name) {
            continue;
        }
        if (textAt(cache, base, wordAt(cache, entry + 8), value)) {
            paths.push_back(value);
        }
    }
    return true;
}
