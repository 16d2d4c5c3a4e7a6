#include "CrossFileCheck.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "StartPrediction.h"
#include "Wording.h"
#include "zoerr/Status.h"

namespace nPluginCheck {
namespace {

std::string plugin(const tPlacedDescription& placed) {
    return quoted(placed.description.name) + " (" + placed.file + ")";
}

// ": it is refused (-52006)", with the reason when the admission test
// refuses the plugin before its dependencies are looked at.
std::string consequence(const tStartPrediction& prediction) {
    std::string text = ": it " + outcomeOf(prediction);
    if (prediction.code == zoerr::kFeatureUnsupported) {
        text += ", by the admission test, which comes before the dependencies";
    }
    return text;
}

void checkDuplicateNames(const std::vector<tPlacedDescription>& plugins,
                         std::vector<tFinding>& findings) {
    std::map<std::string, std::vector<std::string>> filesByName;
    for (const tPlacedDescription& placed : plugins) {
        filesByName[placed.description.name].push_back(placed.file);
    }
    for (const auto& [name, files] : filesByName) {
        if (files.size() > 1) {
            findings.push_back(tFinding{0, "duplicate-name",
                                        quoted(name) + " is described by more than one file (" +
                                            enumeration(files) +
                                            "): the service starts each of them"});
        }
    }
}

void checkDependenciesOf(const tStartPrediction& prediction, const std::set<std::string>& described,
                         std::vector<tFinding>& findings) {
    const tPlacedDescription& placed = prediction.plugin;
    const std::vector<std::string>& dependencies = placed.description.dependencies;
    for (size_t i = 0; i < dependencies.size(); ++i) {
        const std::string& dependency = dependencies[i];
        // Sorted, so a name listed twice sits next to itself.
        if (i > 0 && dependency == dependencies[i - 1]) {
            findings.push_back(tFinding{0, "repeated-dependency",
                                        plugin(placed) + " names " + quoted(dependency) +
                                            " twice in \"Dependencies\", which never matches" +
                                            consequence(prediction)});
        } else if (dependency == placed.description.name) {
            findings.push_back(tFinding{0, "self-dependency",
                                        plugin(placed) +
                                            " names itself as a dependency, which cannot have "
                                            "started before it" +
                                            consequence(prediction)});
        } else if (described.count(dependency) == 0) {
            findings.push_back(tFinding{0, "undescribed-dependency",
                                        plugin(placed) + " depends on " + quoted(dependency) +
                                            ", which no accepted \".ini\" description file "
                                            "describes" +
                                            consequence(prediction)});
        }
    }
}

// The dependency graph by plugin name, and its strongly connected
// components (Tarjan): a component of two or more names is a cycle.
class tDependencyCycles {
  public:
    explicit tDependencyCycles(const std::vector<tPlacedDescription>& plugins) {
        for (const tPlacedDescription& placed : plugins) {
            edges[placed.description.name];
        }
        for (const tPlacedDescription& placed : plugins) {
            for (const std::string& dependency : placed.description.dependencies) {
                if (dependency != placed.description.name && edges.count(dependency) != 0) {
                    edges[placed.description.name].insert(dependency);
                }
            }
        }
    }

    std::vector<std::vector<std::string>> cycles() {
        for (const auto& node : edges) {
            if (indexOf.count(node.first) == 0) {
                visit(node.first);
            }
        }
        return found;
    }

  private:
    void visit(const std::string& name) {
        indexOf[name] = lowLink[name] = nextIndex++;
        stack.push_back(name);
        onStack.insert(name);
        for (const std::string& next : edges[name]) {
            if (indexOf.count(next) == 0) {
                visit(next);
                lowLink[name] = std::min(lowLink[name], lowLink[next]);
            } else if (onStack.count(next) != 0) {
                lowLink[name] = std::min(lowLink[name], indexOf[next]);
            }
        }
        if (lowLink[name] == indexOf[name]) {
            popComponent(name);
        }
    }

    void popComponent(const std::string& root) {
        std::vector<std::string> component;
        std::string member;
        do {
            member = stack.back();
            stack.pop_back();
            onStack.erase(member);
            component.push_back(member);
        } while (member != root);
        if (component.size() > 1) {
            std::sort(component.begin(), component.end());
            found.push_back(component);
        }
    }

    std::map<std::string, std::set<std::string>> edges;
    std::map<std::string, size_t> indexOf;
    std::map<std::string, size_t> lowLink;
    std::vector<std::string> stack;
    std::set<std::string> onStack;
    size_t nextIndex = 0;
    std::vector<std::vector<std::string>> found;
};

// What the prediction says of each plugin of `names`, in start order.
std::string outcomesOf(const std::vector<std::string>& names,
                       const std::vector<tStartPrediction>& startOrder) {
    std::vector<std::string> outcomes;
    for (const tStartPrediction& prediction : startOrder) {
        const std::string& name = prediction.plugin.description.name;
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            outcomes.push_back(quoted(name) + " " + outcomeOf(prediction));
        }
    }
    return enumeration(outcomes);
}

void checkCycles(const std::vector<tPlacedDescription>& plugins,
                 const std::vector<tStartPrediction>& startOrder, std::vector<tFinding>& findings) {
    for (const std::vector<std::string>& cycle : tDependencyCycles(plugins).cycles()) {
        std::vector<std::string> names(cycle.size());
        std::transform(cycle.begin(), cycle.end(), names.begin(), quoted);
        findings.push_back(tFinding{0, "dependency-cycle",
                                    enumeration(names) + " depend on one another in a cycle: " +
                                        outcomesOf(cycle, startOrder) +
                                        ", and every plugin that depends on them is refused "
                                        "too"});
    }
}

}  // namespace

std::vector<tFinding> checkAcrossFiles(const std::vector<tStartPrediction>& startOrder) {
    std::vector<tPlacedDescription> plugins;
    std::set<std::string> described;
    for (const tStartPrediction& prediction : startOrder) {
        plugins.push_back(prediction.plugin);
        described.insert(prediction.plugin.description.name);
    }
    std::vector<tFinding> findings;
    checkDuplicateNames(plugins, findings);
    for (const tStartPrediction& prediction : startOrder) {
        checkDependenciesOf(prediction, described, findings);
    }
    checkCycles(plugins, startOrder, findings);
    return findings;
}

}  // namespace nPluginCheck
