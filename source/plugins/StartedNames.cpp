#include "plugins/StartedNames.h"

#include <string_view>
#include <unordered_map>

tStartedNames::tStartedNames(const std::vector<const tPluginDescription*>& plugins) {
    // Each distinct name gets the next id; several plugins may share one.
    std::unordered_map<std::string_view, NameId> ids;
    ids.reserve(plugins.size());
    nameOf.reserve(plugins.size());
    for (const tPluginDescription* plugin : plugins) {
        const auto added = ids.emplace(plugin->name, static_cast<NameId>(ids.size()));
        nameOf.push_back(added.first->second);
    }
    firstDependency.reserve(plugins.size() + 1);
    for (const tPluginDescription* plugin : plugins) {
        firstDependency.push_back(dependencies.size());
        const std::vector<std::string>& names = plugin->dependencies;
        for (size_t i = 0; i < names.size(); ++i) {
            const auto found = ids.find(names[i]);
            const bool listedTwice = i > 0 && names[i] == names[i - 1];
            dependencies.push_back(listedTwice || found == ids.end() ? kNeverStarts
                                                                     : found->second);
        }
    }
    firstDependency.push_back(dependencies.size());
    started.assign(ids.size(), 0);
}

bool tStartedNames::dependencyStarted(size_t plugin, size_t dependency) const {
    const NameId name = dependencies[firstDependency[plugin] + dependency];
    return name != kNeverStarts && started[name] != 0;
}

bool tStartedNames::dependenciesStarted(size_t plugin) const {
    const size_t count = firstDependency[plugin + 1] - firstDependency[plugin];
    for (size_t i = 0; i < count; ++i) {
        if (!dependencyStarted(plugin, i)) {
            return false;
        }
    }
    return true;
}

void tStartedNames::markStarted(size_t plugin) {
    started[nameOf[plugin]] = 1;
}
