// The dynamic loader's cache, /etc/ld.so.cache: for a library's bare name,
// the files that ldconfig found for it in the directories it was told of.
// The loader consults it after the run paths and LD_LIBRARY_PATH and before
// its default directories.
//
// Reads glibc's format ("glibc-ld.so.cache1.1", alone or after the old
// "ld.so-1.7.0" table) from bytes the caller read; every offset is checked
// against the bytes, so any input is safe to hand in. Free functions, no
// state. Failures are the return value; nothing throws but std::bad_alloc.
#ifndef ZOKORVO_LOADERCACHE_H
#define ZOKORVO_LOADERCACHE_H

#include <string>
#include <vector>

// The cache's file.
extern const char* const kLoaderCacheFile;

// Appends, in the cache's order, the path of every entry for `name` that
// this machine's kind of process could load. False when `cache` is not a
// cache in a format known here.
bool findInLoaderCache(const std::string& cache, const std::string& name,
                       std::vector<std::string>& paths);

#endif  // ZOKORVO_LOADERCACHE_H
