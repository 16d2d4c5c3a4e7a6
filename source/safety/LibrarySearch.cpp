#include "safety/LibrarySearch.h"

#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "safety/LoaderCache.h"

namespace {

// The loader's own directories after its cache, as this system's loader
// was built with them.
const char* const kDefaultDirectories[] = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu",
                                           "/lib", "/usr/lib"};
// Looked in before each directory itself, the best the processor runs first.
const char* const kHardwareSubdirectories[] = {"/glibc-hwcaps/x86-64-v4", "/glibc-hwcaps/x86-64-v3",
                                               "/glibc-hwcaps/x86-64-v2", ""};
constexpr const char* kLibraryPathVariable = "LD_LIBRARY_PATH";

tPathVerdict faultOf(tPathVerdict::tFault fault, const std::string& path, int error = 0) {
    tPathVerdict verdict;
    verdict.fault = fault;
    verdict.path = path;
    verdict.error = error;
    return verdict;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

void replaceAll(std::string& text, const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size())) {
        text.replace(at, token.size(), value);
    }
}

// The loader's dynamic string tokens; $ORIGIN is the directory of the object
// as the loader named it, not its real one.
std::string expandTokens(std::string entry, const std::string& origin) {
    replaceAll(entry, "${ORIGIN}", origin);
    replaceAll(entry, "$ORIGIN", origin);
    replaceAll(entry, "${LIB}", "lib/x86_64-linux-gnu");
    replaceAll(entry, "$LIB", "lib/x86_64-linux-gnu");
    replaceAll(entry, "${PLATFORM}", "x86_64");
    replaceAll(entry, "$PLATFORM", "x86_64");
    return entry;
}

// The loader splits its search lists at ':' (and LD_LIBRARY_PATH at ';' too).
template <typename Directory>
std::vector<Directory> searchList(const std::string& text, const char* separators,
                                  const std::string& owner, const std::string& origin) {
    std::vector<Directory> directories;
    size_t begin = 0;
    while (true) {
        const size_t end = text.find_first_of(separators, begin);
        Directory directory;
        directory.entry = text.substr(begin, end == std::string::npos ? end : end - begin);
        directory.owner = owner;
        std::string expanded = expandTokens(directory.entry, origin);
        if (!expanded.empty() && expanded[0] == '/') {
            directory.directory = std::move(expanded);
        }
        directories.push_back(std::move(directory));
        if (end == std::string::npos) {
            return directories;
        }
        begin = end + 1;
    }
}

// The dynamic section of the regular file open at `descriptor`, which this
// closes; a file that is not ELF reads as needing nothing, since the loader
// refuses it unmapped.
tPathVerdict readObjectAt(int descriptor, const std::string& path, const struct stat& info,
                          tDynamicSection& dynamic) {
    tDynamicSectionRead read = tDynamicSectionRead::unreadable;
    if (S_ISREG(info.st_mode)) {
        read = readDynamicSection(descriptor, static_cast<uint64_t>(info.st_size), dynamic);
    }
    close(descriptor);
    if (read == tDynamicSectionRead::unreadable) {
        return faultOf(tPathVerdict::tFault::unexamined, path, ENOEXEC);
    }
    return tPathVerdict();
}

// The same for an object already mapped into this process: only its names
// are read, nothing is judged.
tPathVerdict readMappedObject(const std::string& path, tDynamicSection& dynamic) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    if (descriptor < 0) {
        return faultOf(tPathVerdict::tFault::unexamined, path, errno);
    }
    if (fstat(descriptor, &info) != 0) {
        const int error = errno;
        close(descriptor);
        return faultOf(tPathVerdict::tFault::unexamined, path, error);
    }
    return readObjectAt(descriptor, path, info, dynamic);
}

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

}  // namespace

tLibrarySearch::tLibrarySearch() {
    executable.path = executablePath();
    if (!executable.path.empty()) {
        (void)readMappedObject(executable.path, executable.dynamic);
    }
    const std::string origin = directoryOf(executable.path);
    if (executable.dynamic.hasRunpath) {
        executable.runpath =
            searchList<tSearchDirectory>(executable.dynamic.runpath, ":", executable.path, origin);
    } else if (executable.dynamic.hasRpath) {
        executable.rpath =
            searchList<tSearchDirectory>(executable.dynamic.rpath, ":", executable.path, origin);
    }
    const char* variable = getenv(kLibraryPathVariable);
    if (variable != nullptr && *variable != '\0') {
        libraryPath = searchList<tSearchDirectory>(variable, ":;", kLibraryPathVariable, origin);
    }
}

tPathVerdict tLibrarySearch::check(tPathSafety& paths, const std::string& path,
                                   std::string& loaderName, tFileIdentity& identity) {
    loaderName = path;
    identity = tFileIdentity();
    if (path.empty()) {
        return tPathVerdict();
    }
    const tLoaders program{&executable, nullptr};
    if (path.find('/') == std::string::npos) {
        if (isLoaded(path)) {
            return tPathVerdict();
        }
        // dlopen searches as if the program itself needed the name.
        std::string file;
        tPathVerdict verdict = find(paths, path, executable, nullptr, file);
        if (!verdict.safe() || file.empty()) {
            return verdict;
        }
        return judgeObject(paths, file, program, pluginObject, &identity);
    }
    // Assigned, not built: a plugin's library is judged between two opens
    // of the loader, and what is allocated there makes the loader's own
    // objects lie irregularly on the heap, which slows its walks over them
    // (bench/README.md). In a pass, the names reuse their buffers.
    if (path[0] == '/') {
        loaderName.assign(path);
    } else {
        loaderName = tPathSafety::absolute(path);
        if (loaderName.empty()) {
            return faultOf(tPathVerdict::tFault::unexamined, path, errno);
        }
    }
    return judgeObject(paths, loaderName, program, pluginObject, &identity);
}

tPathVerdict tLibrarySearch::judgeObject(tPathSafety& paths, const std::string& file,
                                         const tLoaders& loaders, tObject& object,
                                         tFileIdentity* identity) {
    // Only libraries that plugins need are remembered: a plugin's own library
    // is met once a pass, and what stays allocated between two opens slows
    // the loader (see check).
    const bool remembered = loaders.next != nullptr;
    std::string key;
    if (remembered) {
        key = file;
        for (const tLoaders* loader = &loaders; loader != nullptr; loader = loader->next) {
            key += '\n' + loader->object->path;
        }
        if (judged.count(key) != 0) {
            return tPathVerdict();
        }
    }
    object.path.assign(file);
    object.rpath.clear();
    object.runpath.clear();
    tPathVerdict verdict;
    struct stat info;
    bool exists = true;
    const int descriptor = paths.openJudged(file, verdict, info, exists);
    if (descriptor < 0) {
        if (!verdict.safe() || !exists) {
            // Nothing there is safe when nobody else could put it there:
            // the loader then fails to find it too.
            return verdict;
        }
        return faultOf(tPathVerdict::tFault::unexamined, file, errno);
    }
    if (identity != nullptr) {
        *identity = identityOf(info);
    }
    verdict = readObjectAt(descriptor, file, info, object.dynamic);
    if (!verdict.safe()) {
        return verdict;
    }
    if (object.dynamic.hasRunpath) {
        object.runpath =
            searchList<tSearchDirectory>(object.dynamic.runpath, ":", file, directoryOf(file));
    } else if (object.dynamic.hasRpath) {
        object.rpath =
            searchList<tSearchDirectory>(object.dynamic.rpath, ":", file, directoryOf(file));
    }
    // Every directory it names counts, whether or not a needed library is
    // found in it: the search may stop there at another time.
    for (const auto* list : {&object.rpath, &object.runpath}) {
        for (const tSearchDirectory& directory : *list) {
            if (directory.directory.empty()) {
                verdict = faultOf(tPathVerdict::tFault::runPath, file);
                verdict.detail = directory.entry;
                return verdict;
            }
            verdict = paths.check(directory.directory);
            if (!verdict.safe()) {
                verdict.via = "in the run path of " + file;
                return verdict;
            }
        }
    }
    verdict = judgeNeeds(paths, object, loaders);
    if (verdict.safe() && remembered) {
        judged.insert(std::move(key));
    }
    return verdict;
}

tPathVerdict tLibrarySearch::judgeNeeds(tPathSafety& paths, const tObject& object,
                                        const tLoaders& loaders) {
    const tLoaders itsLoaders{&object, &loaders};
    for (const std::string& name : object.dynamic.needed) {
        std::string found;
        tPathVerdict verdict;
        if (name.find('/') != std::string::npos) {
            found = tPathSafety::absolute(name);
            bool exists = true;
            verdict = paths.check(found, exists);
            found = exists ? found : std::string();
        } else if (!isLoaded(name)) {
            verdict = find(paths, name, object, &loaders, found);
        }
        if (verdict.safe() && !found.empty()) {
            tObject needed;
            verdict = judgeObject(paths, found, itsLoaders, needed);
        }
        if (!verdict.safe()) {
            if (verdict.via.empty()) {
                verdict.via = "needed by " + object.path;
            }
            return verdict;
        }
    }
    return tPathVerdict();
}

// The loader's order: the run paths of the requester and of those that
// loaded it (only when the requester has no RUNPATH), LD_LIBRARY_PATH, the
// requester's RUNPATH, the cache, the default directories.
tPathVerdict tLibrarySearch::find(tPathSafety& paths, const std::string& name,
                                  const tObject& requester, const tLoaders* loaders,
                                  std::string& found) {
    std::vector<tSearchDirectory> directories;
    if (!requester.dynamic.hasRunpath) {
        directories = requester.rpath;
        for (const tLoaders* loader = loaders; loader != nullptr; loader = loader->next) {
            directories.insert(directories.end(), loader->object->rpath.begin(),
                               loader->object->rpath.end());
        }
    }
    directories.insert(directories.end(), libraryPath.begin(), libraryPath.end());
    directories.insert(directories.end(), requester.runpath.begin(), requester.runpath.end());
    tPathVerdict verdict = findIn(paths, name, directories, found);
    if (verdict.safe() && found.empty()) {
        verdict = findInCache(paths, name, found);
    }
    if (verdict.safe() && found.empty()) {
        std::vector<tSearchDirectory> defaults;
        for (const char* directory : kDefaultDirectories) {
            defaults.push_back(tSearchDirectory{directory, directory, ""});
        }
        verdict = findIn(paths, name, defaults, found);
    }
    return verdict;
}

// Every name looked at counts until the library is found: a missing one
// that another user could create would be found first next time.
tPathVerdict tLibrarySearch::findIn(tPathSafety& paths, const std::string& name,
                                    const std::vector<tSearchDirectory>& directories,
                                    std::string& found) {
    for (const tSearchDirectory& directory : directories) {
        if (directory.directory.empty()) {
            tPathVerdict verdict = faultOf(tPathVerdict::tFault::runPath, directory.owner);
            verdict.detail = directory.entry;
            return verdict;
        }
        for (const char* subdirectory : kHardwareSubdirectories) {
            const std::string candidate = directory.directory + subdirectory + "/" + name;
            bool exists = true;
            tPathVerdict verdict = paths.check(candidate, exists);
            if (!verdict.safe()) {
                return verdict;
            }
            if (exists) {
                found = candidate;
                return verdict;
            }
        }
    }
    return tPathVerdict();
}

tPathVerdict tLibrarySearch::findInCache(tPathSafety& paths, const std::string& name,
                                         std::string& found) {
    if (!cacheRead) {
        cacheRead = true;
        bool exists = true;
        cacheVerdict = paths.check(kLoaderCacheFile, exists);
        if (cacheVerdict.safe() && exists) {
            std::ifstream file(kLoaderCacheFile, std::ios::binary);
            cache.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
    }
    if (!cacheVerdict.safe() || cache.empty()) {
        return cacheVerdict;
    }
    std::vector<std::string> entries;
    if (!findInLoaderCache(cache, name, entries)) {
        return faultOf(tPathVerdict::tFault::unexamined, kLoaderCacheFile, ENOEXEC);
    }
    // Which entry the loader takes depends on the processor: all are judged.
    for (const std::string& entry : entries) {
        bool exists = true;
        tPathVerdict verdict = paths.check(entry, exists);
        if (!verdict.safe()) {
            return verdict;
        }
        if (exists && found.empty()) {
            found = entry;
        }
    }
    return tPathVerdict();
}

bool tLibrarySearch::isLoaded(const std::string& name) {
    if (!loadedListed) {
        loadedListed = true;
        listLoaded();
    }
    return loadedNames.count(name) != 0;
}

// The loader takes a needed name as loaded when an object of the process
// has it as its soname or was opened by it.
void tLibrarySearch::listLoaded() {
    std::vector<std::string> files;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] == '/') {
                static_cast<std::vector<std::string>*>(data)->emplace_back(info->dlpi_name);
            }
            return 0;
        },
        &files);
    for (const std::string& file : files) {
        tDynamicSection dynamic;
        loadedNames.insert(file);
        if (readMappedObject(file, dynamic).safe() && !dynamic.soname.empty()) {
            loadedNames.insert(dynamic.soname);
        }
    }
}
