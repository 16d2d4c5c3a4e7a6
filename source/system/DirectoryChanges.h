// tDirectoryChanges tells whether anything in one directory changed since it
// was created: an entry made, removed, renamed, written or given other
// modes, or the directory itself moved or removed.
//
// It watches with inotify(7) from its creation on, so that a change made
// while a caller reads the directory is seen too; asking never blocks.
// A directory that cannot be watched (no inotify instance or watch left)
// counts as changed: the caller then looks again rather than miss a change.
// Ownership: owns its inotify descriptor (close-on-exec). Threads: one at a
// time. Nothing here throws.
#ifndef ZOKORVO_DIRECTORYCHANGES_H
#define ZOKORVO_DIRECTORYCHANGES_H

#include <string>

class tDirectoryChanges {
  public:
    explicit tDirectoryChanges(const std::string& directory) noexcept;
    ~tDirectoryChanges();
    tDirectoryChanges(const tDirectoryChanges&) = delete;
    tDirectoryChanges& operator=(const tDirectoryChanges&) = delete;

    // True once anything changed, or when the directory could not be watched.
    bool anyChange() noexcept;

  private:
    int watchFd = -1;
    bool changed = false;
};

#endif  // ZOKORVO_DIRECTORYCHANGES_H
