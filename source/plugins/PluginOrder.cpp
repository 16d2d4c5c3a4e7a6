#include "plugins/PluginOrder.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <string_view>
#include <unordered_map>

namespace nPluginData {
namespace {

using Index = size_t;
using Rank = size_t;

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

// The one-way direct dependencies between descriptions: an edge from x to
// y when y names x and x does not name y. Mutual naming cancels out and
// leaves the pair to the name order.
//
// Names are compared once, in one sort: from then on a description is known
// by its rank in name order, and the choices of the walk compare ranks.
class DependencyGraph {
  public:
    explicit DependencyGraph(const std::vector<tPluginDescription>& all);
    std::vector<Index> startOrder() const;

  private:
    bool namesDependency(Index dependent, std::string_view name) const;
    void addEdgesInto(Index dependent, const std::unordered_map<std::string_view, Rank>& firstRank);

    const std::vector<tPluginDescription>& descriptions;
    // Every description's index, in name order; rank[i] is i's position.
    std::vector<Index> byName;
    std::vector<Rank> rank;
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
    : descriptions(all),
      byName(all.size()),
      rank(all.size()),
      followers(all.size()),
      prerequisiteCount(all.size(), 0) {
    for (Index i = 0; i < all.size(); ++i) {
        byName[i] = i;
    }
    std::sort(byName.begin(), byName.end(), ByNameThenPosition(all));
    for (Rank r = 0; r < byName.size(); ++r) {
        rank[byName[r]] = r;
    }
    dependencyNames.reserve(all.size());
    for (const tPluginDescription& description : all) {
        dependencyNames.push_back(distinctSortedNames(description.dependencies));
    }
    // Where each name's run starts in name order.
    std::unordered_map<std::string_view, Rank> firstRank;
    firstRank.reserve(all.size());
    for (Rank r = byName.size(); r > 0; --r) {
        firstRank[all[byName[r - 1]].name] = r - 1;
    }
    for (Index i = 0; i < all.size(); ++i) {
        addEdgesInto(i, firstRank);
    }
}

bool DependencyGraph::namesDependency(Index dependent, std::string_view name) const {
    const std::vector<std::string_view>& names = dependencyNames[dependent];
    return std::binary_search(names.begin(), names.end(), name);
}

void DependencyGraph::addEdgesInto(Index dependent,
                                   const std::unordered_map<std::string_view, Rank>& firstRank) {
    for (std::string_view name : dependencyNames[dependent]) {
        const auto found = firstRank.find(name);
        if (found == firstRank.end()) {
            continue;
        }
        // Every description carrying the name: a run in name order.
        for (Rank r = found->second; r < byName.size() && descriptions[byName[r]].name == name;
             ++r) {
            const Index named = byName[r];
            // Also false for a description naming itself: it names itself back.
            if (!namesDependency(named, descriptions[dependent].name)) {
                followers[named].push_back(dependent);
                ++prerequisiteCount[dependent];
            }
        }
    }
}

// Kahn's algorithm with the smallest ready name first; when nothing is
// ready the one-way dependencies hold a cycle, and the smallest name of all
// that remain goes next.
std::vector<Index> DependencyGraph::startOrder() const {
    std::priority_queue<Rank, std::vector<Rank>, std::greater<Rank>> ready;
    std::vector<size_t> waitingFor = prerequisiteCount;
    for (Rank r = 0; r < byName.size(); ++r) {
        if (waitingFor[byName[r]] == 0) {
            ready.push(r);
        }
    }
    std::vector<bool> placed(descriptions.size(), false);
    Rank smallestUnplaced = 0;
    std::vector<Index> order;
    order.reserve(descriptions.size());
    while (order.size() < descriptions.size()) {
        Index next;
        if (ready.empty()) {
            while (placed[byName[smallestUnplaced]]) {
                ++smallestUnplaced;
            }
            next = byName[smallestUnplaced];
        } else {
            next = byName[ready.top()];
            ready.pop();
        }
        placed[next] = true;
        order.push_back(next);
        for (Index follower : followers[next]) {
            if (!placed[follower] && --waitingFor[follower] == 0) {
                ready.push(rank[follower]);
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
