#include "PluginOrder.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>

namespace nPluginData {
namespace {

using Index = size_t;

// Byte-wise by name (std::string compares as unsigned char, a proper prefix
// first), then by original position so that equal names stay stable.
class ByNameThenPosition {
  public:
    explicit ByNameThenPosition(const std::vector<tPluginDescription>& all) : descriptions(&all) {}
    bool operator()(Index a, Index b) const {
        const int byName = (*descriptions)[a].name.compare((*descriptions)[b].name);
        return byName != 0 ? byName < 0 : a < b;
    }

  private:
    const std::vector<tPluginDescription>* descriptions;
};

using OrderedIndices = std::set<Index, ByNameThenPosition>;

// The one-way direct dependencies between descriptions: an edge from x to
// y when y names x and x does not name y. Mutual naming cancels out and
// leaves the pair to the name order.
class DependencyGraph {
  public:
    explicit DependencyGraph(const std::vector<tPluginDescription>& all);
    std::vector<Index> startOrder() const;

  private:
    bool namesDependency(Index dependent, std::string_view name) const;
    void addEdgesInto(Index dependent,
                      const std::unordered_map<std::string_view, std::vector<Index>>& byName);

    const std::vector<tPluginDescription>& descriptions;
    // Each description's dependency names, sorted and without repeats.
    std::vector<std::vector<std::string_view>> dependencyNames;
    // For each description, the ones that must come after it.
    std::vector<std::vector<Index>> followers;
    std::vector<size_t> prerequisiteCount;
};

std::vector<std::string_view> distinctSortedNames(const std::vector<std::string>& names) {
    std::vector<std::string_view> views(names.begin(), names.end());
    std::sort(views.begin(), views.end());
    views.erase(std::unique(views.begin(), views.end()), views.end());
    return views;
}

DependencyGraph::DependencyGraph(const std::vector<tPluginDescription>& all)
    : descriptions(all), followers(all.size()), prerequisiteCount(all.size(), 0) {
    std::unordered_map<std::string_view, std::vector<Index>> byName;
    dependencyNames.reserve(all.size());
    for (Index i = 0; i < all.size(); ++i) {
        byName[all[i].name].push_back(i);
        dependencyNames.push_back(distinctSortedNames(all[i].dependencies));
    }
    for (Index i = 0; i < all.size(); ++i) {
        addEdgesInto(i, byName);
    }
}

bool DependencyGraph::namesDependency(Index dependent, std::string_view name) const {
    const std::vector<std::string_view>& names = dependencyNames[dependent];
    return std::binary_search(names.begin(), names.end(), name);
}

void DependencyGraph::addEdgesInto(
    Index dependent, const std::unordered_map<std::string_view, std::vector<Index>>& byName) {
    for (std::string_view name : dependencyNames[dependent]) {
        const auto named = byName.find(name);
        if (named == byName.end()) {
            continue;
        }
        for (Index dependency : named->second) {
            // Also false for a description naming itself: it names itself back.
            if (!namesDependency(dependency, descriptions[dependent].name)) {
                followers[dependency].push_back(dependent);
                ++prerequisiteCount[dependent];
            }
        }
    }
}

// Kahn's algorithm with the smallest ready name first; when nothing is
// ready the one-way dependencies hold a cycle, and the smallest name of all
// that remain goes next.
std::vector<Index> DependencyGraph::startOrder() const {
    const ByNameThenPosition byName(descriptions);
    OrderedIndices unplaced(byName);
    OrderedIndices ready(byName);
    std::vector<size_t> waitingFor = prerequisiteCount;
    for (Index i = 0; i < descriptions.size(); ++i) {
        unplaced.insert(i);
        if (waitingFor[i] == 0) {
            ready.insert(i);
        }
    }
    std::vector<bool> placed(descriptions.size(), false);
    std::vector<Index> order;
    order.reserve(descriptions.size());
    while (!unplaced.empty()) {
        const Index next = ready.empty() ? *unplaced.begin() : *ready.begin();
        ready.erase(next);
        unplaced.erase(next);
        placed[next] = true;
        order.push_back(next);
        for (Index follower : followers[next]) {
            if (!placed[follower] && --waitingFor[follower] == 0) {
                ready.insert(follower);
            }
        }
    }
    return order;
}

}  // namespace

void orderDescriptions(std::vector<tPluginDescription>& descriptions) {
    const std::vector<Index> order = DependencyGraph(descriptions).startOrder();
    std::vector<tPluginDescription> ordered;
    ordered.reserve(descriptions.size());
    // Moves cannot throw, so once the storage is there the reordering
    // completes.
    for (Index i : order) {
        ordered.push_back(std::move(descriptions[i]));
    }
    descriptions.swap(ordered);
}

}  // namespace nPluginData
