// nPluginData::orderDescriptions: named dependencies first, otherwise by
// name, deterministic for cycles and duplicate names.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "plugins/PluginOrder.h"

namespace {

// "name:dep,dep" per description; `path` records the input position so
// that descriptions of equal names can be told apart.
std::vector<tPluginDescription> describe(const std::vector<std::string>& entries) {
    std::vector<tPluginDescription> descriptions;
    for (const std::string& entry : entries) {
        tPluginDescription description;
        const size_t colon = entry.find(':');
        description.name = entry.substr(0, colon);
        if (colon != std::string::npos) {
            std::stringstream dependencies(entry.substr(colon + 1));
            std::string name;
            while (std::getline(dependencies, name, ',')) {
                description.dependencies.push_back(name);
            }
        }
        description.path = "#" + std::to_string(descriptions.size());
        descriptions.push_back(description);
    }
    return descriptions;
}

std::vector<std::string> orderedNames(const std::vector<std::string>& entries) {
    std::vector<tPluginDescription> descriptions = describe(entries);
    nPluginData::orderDescriptions(descriptions);
    std::vector<std::string> names;
    for (const tPluginDescription& description : descriptions) {
        names.push_back(description.name + description.path);
    }
    return names;
}

struct OrderCase {
    std::vector<std::string> input;
    std::vector<std::string> expected;  // name and input position
};

void expectOrders(const std::vector<OrderCase>& cases) {
    for (const OrderCase& c : cases) {
        EXPECT_EQ(c.expected, orderedNames(c.input)) << ::testing::PrintToString(c.input);
    }
}

TEST(PluginOrder, ANamedDependencyFirstOtherwiseByName) {
    expectOrders({
        {{"B:A", "A"}, {"A#1", "B#0"}},
        {{"A:B", "B:A"}, {"A#0", "B#1"}},
        {{"B:A", "A:B"}, {"A#1", "B#0"}},
        {{"b", "a"}, {"a#1", "b#0"}},
        {{"ab", "a"}, {"a#1", "ab#0"}},
        {{"a", "Z", "_"}, {"Z#1", "_#2", "a#0"}},
        {{"\xC3\xA9", "z"}, {"z#1", "\xC3\xA9#0"}},
        {{}, {}},
    });
}

TEST(PluginOrder, ChainsAgainstTheNameOrderStartFromTheirEnd) {
    expectOrders({
        {{"a:b", "b:c", "c"}, {"c#2", "b#1", "a#0"}},
        {{"c", "a:b", "b:c"}, {"c#0", "b#2", "a#1"}},
        {{"a:b,d", "b:c", "c", "d"}, {"c#2", "b#1", "d#3", "a#0"}},
        {{"a:unknown", "b"}, {"a#0", "b#1"}},
    });
}

TEST(PluginOrder, CyclesAreBrokenAtTheSmallestRemainingName) {
    expectOrders({
        {{"b:a", "c:b", "a:c"}, {"a#2", "b#0", "c#1"}},
        {{"c:b", "a:c", "b:a"}, {"a#1", "b#2", "c#0"}},
        // Ready descriptions go first; then the smallest name of all that
        // remain, even one that only waits for the cycle.
        {{"a:c", "b:a", "c:b", "z"}, {"z#3", "a#0", "b#1", "c#2"}},
        {{"y:x", "x:z", "z:y", "w:y"}, {"w#3", "x#1", "y#0", "z#2"}},
        // Mutual naming is no edge; the one-way rest still counts.
        {{"b:a", "a:b,z", "z:a,b"}, {"a#1", "b#0", "z#2"}},
    });
}

TEST(PluginOrder, SelfDependenciesAndDuplicateNamesStayDeterministic) {
    expectOrders({
        {{"b", "a:a"}, {"a#1", "b#0"}},
        {{"a:b", "b:b"}, {"b#1", "a#0"}},
        {{"x", "x", "x"}, {"x#0", "x#1", "x#2"}},
        {{"z:x", "x", "x:y", "y"}, {"x#1", "y#3", "x#2", "z#0"}},
        {{"a:x,x", "x"}, {"x#1", "a#0"}},
    });
}

// Unique random names and dependencies only on lower ranks make an acyclic
// set, in which every dependency must come before its dependent.
TEST(PluginOrder, AcyclicDependenciesAreAllRespected) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> letter('a', 'e');
    std::set<std::string> unique;
    while (unique.size() < 600) {
        std::string name(1 + random() % 5, ' ');
        for (char& c : name) {
            c = static_cast<char>(letter(random));
        }
        unique.insert(name);
    }
    std::vector<std::string> names(unique.begin(), unique.end());
    std::shuffle(names.begin(), names.end(), random);  // shuffled order is the rank
    std::vector<tPluginDescription> descriptions(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        descriptions[i].name = names[i];
        for (int k = 0; i > 0 && k < 3; ++k) {
            descriptions[i].dependencies.push_back(names[random() % i]);
        }
        std::sort(descriptions[i].dependencies.begin(), descriptions[i].dependencies.end());
    }
    std::shuffle(descriptions.begin(), descriptions.end(), random);

    nPluginData::orderDescriptions(descriptions);

    std::map<std::string, size_t> position;
    for (size_t i = 0; i < descriptions.size(); ++i) {
        position[descriptions[i].name] = i;
    }
    ASSERT_EQ(names.size(), position.size());
    for (size_t i = 0; i < descriptions.size(); ++i) {
        for (const std::string& dependency : descriptions[i].dependencies) {
            EXPECT_LT(position[dependency], i) << dependency << " before " << descriptions[i].name;
        }
    }
}

TEST(PluginOrder, ALongChainAgainstTheNameOrderIsReversed) {
    const size_t count = 4000;
    std::vector<tPluginDescription> descriptions(count);
    for (size_t i = 0; i < count; ++i) {
        char name[16];
        snprintf(name, sizeof name, "p%04zu", i);
        descriptions[i].name = name;
        if (i + 1 < count) {
            snprintf(name, sizeof name, "p%04zu", i + 1);
            descriptions[i].dependencies = {name};
        }
    }
    nPluginData::orderDescriptions(descriptions);
    for (size_t i = 0; i < count; ++i) {
        char name[16];
        snprintf(name, sizeof name, "p%04zu", count - 1 - i);
        ASSERT_EQ(name, descriptions[i].name) << "at " << i;
    }
}

}  // namespace
