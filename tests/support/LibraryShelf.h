// Test support: plugin libraries of the test's own in a directory of the
// test root that root may trust, so that a test can replace one in place as
// a deployment does: written aside and renamed over the old path, so that a
// process that mapped the old file keeps it whole. Not thread-safe.
#ifndef ZO_TESTS_LIBRARYSHELF_H
#define ZO_TESTS_LIBRARYSHELF_H

#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "support/ServiceProcess.h"

namespace zotest {

class tLibraryShelf {
  public:
    explicit tLibraryShelf(const TestRoot& root) : directory(root.root() + "/libraries") {
        makeDirectories(directory);
        chmod(directory.c_str(), 0755);
    }

    // A copy of `library` at pathOf(name); returns that path.
    std::string place(const std::string& library, const std::string& name) const {
        const std::string staged = directory + "/." + name + ".new";
        writeFile(staged, readFile(library));
        chmod(staged.c_str(), 0755);
        rename(staged.c_str(), pathOf(name).c_str());
        return pathOf(name);
    }
    std::string pathOf(const std::string& name) const { return directory + "/" + name + ".so"; }

  private:
    std::string directory;
};

}  // namespace zotest

#endif  // ZO_TESTS_LIBRARYSHELF_H
