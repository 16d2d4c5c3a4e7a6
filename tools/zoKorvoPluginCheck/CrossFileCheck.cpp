#include "CrossFileCheck.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "Wording.h"

namespace nPluginCheck {
namespace {

std::string plugin(const tPlacedDescription& placed) {
    return quoted(placed.description.name) + " (" + placed.file + ")";
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

void checkDependenciesOf(const tPlacedDescription& placed, const std::set<std::string>& described,
                         std::vector<tFinding>& findings) {
    const std::vector<std::string>& dependencies = placed.description.dependencies;
    for (size_t i = 0; i < dependencies.size(); ++i) {
        const std::string& dependency = dependencies[i];
        // Sorted, so a name listed twice sits next to itself.
        if (i > 0 && dependency == dependencies[i - 1]) {
            findings.push_back(tFinding{0, "repeated-dependency",
                                        plugin(placed) + " names " + quoted(dependency) +
                                            " twice in \"Dependencies\": it is never started "
                                            "(-52006)"});
        } else if (dependency == placed.description.name) {
            findings.push_back(tFinding{0, "self-dependency",
                                        plugin(placed) +
                                            " names itself as a dependency: it cannot have "
                                            "started before itself and is refused (-52006)"});
        } else if (described.count(dependency) == 0) {
            findings.push_back(tFinding{0, "undescribed-dependency",
                                        plugin(placed) + " depends on " + quoted(dependency) +
                                            ", which no accepted description file describes: "
                                            "it is refused (-52006)"});
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

void checkCycles(const std::vector<tPlacedDescription>& plugins, std::vector<tFinding>& findings) {
    for (std::vector<std::string> cycle : tDependencyCycles(plugins).cycles()) {
        std::transform(cycle.begin(), cycle.end(), cycle.begin(), quoted);
        findings.push_back(tFinding{0, "dependency-cycle",
                                    enumeration(cycle) +
                                        " depend on one another in a cycle: at least the first "
                                        "of them in the start order is refused (-52006), and "
                                        "with it every plugin that depends on it"});
    }
}

}  // namespace

std::vector<tFinding> checkAcrossFiles(const std::vector<tPlacedDescription>& plugins) {
    std::vector<tFinding> findings;
    checkDuplicateNames(plugins, findings);
    std::set<std::string> described;
    for (const tPlacedDescription& placed : plugins) {
        described.insert(placed.description.name);
    }
    for (const tPlacedDescription& placed : plugins) {
        checkDependenciesOf(placed, described, findings);
    }
    checkCycles(plugins, findings);
    return findings;
}

}  // namespace nPluginCheck
