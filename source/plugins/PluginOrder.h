// The start order of the plugin descriptions.
//
// A plugin that another names as a dependency, without naming that other
// one back, comes first (one-way direct dependencies); everything else goes
// by name, compared byte-wise as unsigned bytes with a proper prefix first,
// and equal names keep their original relative order. When the one-way
// dependencies form a cycle, the smallest name among the descriptions not
// yet placed breaks it. Indirect dependencies are respected whenever the
// one-way dependencies are free of cycles.
//
// This is a topological order rather than a sort with a pairwise
// comparison: "named one first, else by name" is not a strict weak ordering
// once dependencies and names disagree across three descriptions, and a
// sort with such a comparison has undefined behaviour.
// Cost: O(N log N + E log N) for N descriptions and E resolved dependency
// references. Throws only std::bad_alloc, leaving the vector as it was.
#ifndef ZOKORVO_PLUGINORDER_H
#define ZOKORVO_PLUGINORDER_H

#include <vector>

#include "plugins/tPluginDescription.h"

namespace nPluginData {

// Puts `descriptions` into start order.
void orderDescriptions(std::vector<tPluginDescription>& descriptions);

}  // namespace nPluginData

#endif  // ZOKORVO_PLUGINORDER_H
