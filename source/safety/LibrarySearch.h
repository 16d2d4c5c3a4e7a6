// tLibrarySearch judges a plugin's library together with every library the
// dynamic loader would map with it, before the loader is asked: it reads each
// object's needs and run paths (DynamicSection.h), finds each needed library
// the way the loader would (the run paths with $ORIGIN, LD_LIBRARY_PATH, the
// loader's cache, its default directories), and judges the file found, every
// name looked at before it and every run-path directory with tPathSafety. An
// empty or relative run-path entry (the working directory) is unsafe; a
// library already loaded into this process is the loader's own and is not
// searched again.
//
// One object serves one pass, like the tPathSafety it is handed; what was
// judged safe in the pass is not judged again. Not thread-safe: an object
// belongs to the thread that made it. Nothing throws but std::bad_alloc.
#ifndef ZOKORVO_LIBRARYSEARCH_H
#define ZOKORVO_LIBRARYSEARCH_H

#include <set>
#include <string>
#include <vector>

#include "safety/DynamicSection.h"
#include "safety/FileIdentity.h"
#include "safety/PathSafety.h"

class tLibrarySearch {
  public:
    tLibrarySearch();

    // The verdict on the library `path` names (a path holding a '/', or a
    // bare name for the loader's search) and on what it needs. `loaderName`
    // is what to hand the loader: the path made absolute with the working
    // directory of this moment, or the bare name as given. `identity` is
    // that of the file judged, unknown when there was none to judge (a
    // name the process has loaded already, or nothing there).
    tPathVerdict check(tPathSafety& paths, const std::string& path, std::string& loaderName,
                       tFileIdentity& identity);

  private:
    // A directory to search; `directory` is empty when its entry names the
    // working directory (empty or relative), which is unsafe.
    struct tSearchDirectory {
        std::string directory;
        std::string entry;  // as the object wrote it
        std::string owner;  // the object, or "LD_LIBRARY_PATH"
    };
    struct tObject {
        std::string path;
        tDynamicSection dynamic;
        std::vector<tSearchDirectory> rpath;  // when the object has no RUNPATH
        std::vector<tSearchDirectory> runpath;
    };

    // The objects that brought one in, nearest first: its own loader, that
    // loader's loader, and so on up to the program. A chain on the search's
    // stack, so that judging a plugin's library allocates nothing.
    struct tLoaders {
        const tObject* object;
        const tLoaders* next;
    };

    // Judges `file`, read into `object`, and what it needs.
    tPathVerdict judgeObject(tPathSafety& paths, const std::string& file, const tLoaders& loaders,
                             tObject& object, tFileIdentity* identity = nullptr);
    tPathVerdict judgeNeeds(tPathSafety& paths, const tObject& object, const tLoaders& loaders);
    tPathVerdict find(tPathSafety& paths, const std::string& name, const tObject& requester,
                      const tLoaders* loaders, std::string& found);
    tPathVerdict findIn(tPathSafety& paths, const std::string& name,
                        const std::vector<tSearchDirectory>& directories, std::string& found);
    tPathVerdict findInCache(tPathSafety& paths, const std::string& name, std::string& found);
    bool isLoaded(const std::string& name);
    void listLoaded();

    tObject executable;    // the process's own program: the first loader of all
    tObject pluginObject;  // a plugin's own library, its buffers reused from plugin to plugin
    std::vector<tSearchDirectory> libraryPath;  // LD_LIBRARY_PATH
    std::set<std::string> judged;               // objects found safe, with their loaders
    std::set<std::string> loadedNames;          // sonames and paths loaded when first asked
    bool loadedListed = false;
    std::string cache;  // the loader's cache, read when first needed
    bool cacheRead = false;
    tPathVerdict cacheVerdict;
};

#endif  // ZOKORVO_LIBRARYSEARCH_H
