// tStartedNames answers, during one start pass, whether the dependencies of a
// plugin have started: every name it depends on must be the name of a plugin
// that started earlier in the pass, and a name listed twice never matches
// (the dependency lists are sorted, so a repeat sits next to itself).
//
// Every name is resolved once, when the pass begins: the plugins' own names
// and their dependency lists become small numbers, and the pass itself then
// tests each dependency in constant time and allocates nothing between the
// loads of two libraries.
//
// Ownership: copies what it needs; the descriptions may change or go after
// construction. Construction throws only std::bad_alloc. Not thread-safe:
// one pass, one thread.
#ifndef ZOKORVO_STARTEDNAMES_H
#define ZOKORVO_STARTEDNAMES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugins/tPluginDescription.h"

class tStartedNames {
  public:
    // A pass over `plugins`, numbered in the order given; none has started.
    explicit tStartedNames(const std::vector<const tPluginDescription*>& plugins);

    // True when dependency `dependency` of plugin `plugin` names a started
    // plugin and is not the repeat of the name before it.
    bool dependencyStarted(size_t plugin, size_t dependency) const;
    // True when every dependency of plugin `plugin` has started.
    bool dependenciesStarted(size_t plugin) const;
    // Plugin `plugin` has started: its name now satisfies dependencies.
    void markStarted(size_t plugin);

  private:
    using NameId = uint32_t;
    // For a dependency no plugin of the pass is named after, or a repeat.
    static constexpr NameId kNeverStarts = UINT32_MAX;

    std::vector<NameId> nameOf;           // per plugin
    std::vector<size_t> firstDependency;  // per plugin, and one past the last
    std::vector<NameId> dependencies;     // every plugin's list, one after the other
    std::vector<unsigned char> started;   // per name
};

#endif  // ZOKORVO_STARTEDNAMES_H
