#include "ReloadPlan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "StartPrediction.h"
#include "reports/StatusFile.h"
#include "reports/StatusJson.h"
#include "plugins/tPluginManager.h"

namespace nPluginCheck {

namespace {

const std::string kDependsOn = " (depends on ";
const std::string kLoadedFrom = "Loaded From: ";
const std::string kRequires = "Requires: ";
const std::string kCode = " Code: ";

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The newer of a file's modification and change times, in nanoseconds; -1
// when it cannot be examined. A rename over the path changes both.
int64_t lastWrittenNs(const std::string& path) {
    struct stat status {};
    if (path.empty() || stat(path.c_str(), &status) != 0) {
        return -1;
    }
    const auto ns = [](const timespec& time) {
        return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
    };
    return std::max(ns(status.st_mtim), ns(status.st_ctim));
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += text.empty() ? name : ", " + name;
    }
    return text;
}

bool sameAsBlock(const tPluginDescription& description, const tStatusBlock& block) {
    return joined(description.dependencies) == block.dependencies &&
           description.path == block.path && std::to_string(description.requires) == block.requires;
}

struct tPlan {
    std::string text;
    std::set<std::string> kept;
    std::map<std::string, std::string> stopped;
};

// Why a plugin running now would be stopped; empty when it is kept.
std::string whyStopped(const tStatusBlock& block, const tStartPrediction* described,
                       int64_t statusWrittenNs, uint32_t capabilityMask,
                       const std::set<std::string>& kept) {
    if (described == nullptr) {
        return "no accepted description file describes it any more";
    }
    if (!sameAsBlock(described->plugin.description, block)) {
        return "its description changed";
    }
    if (lastWrittenNs(described->plugin.file) > statusWrittenNs) {
        return "its description file " + described->plugin.file +
               " was written after the service read it";
    }
    if (lastWrittenNs(block.path) > statusWrittenNs) {
        return "its library " + block.path + " was written after the service loaded it";
    }
    if (!pluginAdmitted(described->plugin.description.requires, capabilityMask)) {
        return "it is no longer admitted (-52002)";
    }
    for (const std::string& dependency : described->plugin.description.dependencies) {
        if (kept.count(dependency) == 0) {
            return "it depends on \"" + dependency + "\", which is not kept";
        }
    }
    return std::string();
}

std::string whyStarted(const tStartPrediction& prediction, const tPlan& plan,
                       const std::map<std::string, const tStatusBlock*>& blocks) {
    const std::string& name = prediction.plugin.description.name;
    std::string reason;
    const auto stopped = plan.stopped.find(name);
    const auto block = blocks.find(name);
    if (stopped != plan.stopped.end()) {
        reason = "restarts: " + stopped->second;
    } else if (block != blocks.end()) {
        reason = "not running (start code " + std::to_string(block->second->initializeCode) +
                 "): tried again";
    } else {
        reason = "new";
    }
    if (prediction.verdict != tStartVerdict::admitted) {
        reason += "; " + outcomeOf(prediction);
    }
    return reason;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

tStatusBlock blockOfJson(const nlohmann::json& plugin) {
    tStatusBlock block;
    block.name = plugin.at("name").get<std::string>();
    std::vector<std::string> dependencies;
    for (const nlohmann::json& dependency : plugin.at("dependencies")) {
        dependencies.push_back(dependency.get<std::string>());
    }
    block.dependencies = joined(dependencies);
    block.path = plugin.at("library").get<std::string>();
    block.requires = std::to_string(plugin.at("requires").get<uint32_t>());
    block.initializeCode = plugin.at("steps").at("initialize").at("code").get<int32_t>();
    return block;
}

// The status the plan goes by: the JSON twin when it can be read, which
// holds every name exactly, else the text. Its path in `statusFile`, and
// the time it was written; -1 when there is neither.
int64_t readStatus(const std::string& statusDirectory, std::string& statusFile,
                   std::vector<tStatusBlock>& blocks) {
    statusFile = statusDirectory + "/" + kStatusJsonFileName;
    int64_t writtenNs = lastWrittenNs(statusFile);
    if (writtenNs >= 0 && readJsonStatusBlocks(fileText(statusFile), blocks)) {
        return writtenNs;
    }
    statusFile = statusDirectory + "/" + kStatusFileName;
    writtenNs = lastWrittenNs(statusFile);
    if (writtenNs >= 0) {
        blocks = readStatusBlocks(fileText(statusFile));
    }
    return writtenNs;
}

}  // namespace

bool readJsonStatusBlocks(const std::string& jsonText, std::vector<tStatusBlock>& blocks) {
    try {
        const nlohmann::json status = nlohmann::json::parse(jsonText);
        if (status.at("schema") != kStatusJsonSchema) {
            return false;
        }
        std::vector<tStatusBlock> read;
        for (const nlohmann::json& plugin : status.at("plugins")) {
            read.push_back(blockOfJson(plugin));
        }
        blocks = std::move(read);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

std::vector<tStatusBlock> readStatusBlocks(const std::string& statusText) {
    std::vector<tStatusBlock> blocks;
    std::istringstream lines(statusText);
    std::string line;
    std::string previous;
    bool inBlock = false;
    while (std::getline(lines, line)) {
        const size_t dependsOn = previous.rfind(kDependsOn);
        if (startsWith(line, kLoadedFrom) && dependsOn != std::string::npos && !previous.empty() &&
            previous.back() == ')') {
            tStatusBlock block;
            block.name = previous.substr(0, dependsOn);
            const size_t listStart = dependsOn + kDependsOn.size();
            block.dependencies = previous.substr(listStart, previous.size() - 1 - listStart);
            block.path = line.substr(kLoadedFrom.size());
            blocks.push_back(block);
            inBlock = true;
        } else if (inBlock && startsWith(line, kRequires)) {
            blocks.back().requires = line.substr(kRequires.size());
        } else if (inBlock && line.find(kCode) != std::string::npos) {
            blocks.back().initializeCode = static_cast<int32_t>(
                strtol(line.c_str() + line.find(kCode) + kCode.size(), nullptr, 10));
            // Only the first step of a block is the start step.
            inBlock = false;
        } else if (line.empty()) {
            inBlock = false;
        }
        previous = line;
    }
    return blocks;
}

std::string renderReloadPlan(const std::string& statusDirectory,
                             const std::vector<tStartPrediction>& startOrder,
                             uint32_t capabilityMask) {
    std::string statusFile;
    std::vector<tStatusBlock> blocks;
    const int64_t statusWrittenNs = readStatus(statusDirectory, statusFile, blocks);
    if (statusWrittenNs < 0) {
        return "Reload plan: no status file " + statusFile +
               ": the service has not run, and would start every plugin\n";
    }

    std::map<std::string, const tStartPrediction*> described;
    for (const tStartPrediction& prediction : startOrder) {
        described.emplace(prediction.plugin.description.name, &prediction);
    }
    std::map<std::string, const tStatusBlock*> blockOf;
    tPlan plan;
    plan.text = "Reload plan (against " + statusFile + "; the service is not asked):\n";
    for (const tStatusBlock& block : blocks) {
        blockOf.emplace(block.name, &block);
        if (block.initializeCode < 0) {
            continue;
        }
        const auto found = described.find(block.name);
        const std::string reason =
            whyStopped(block, found != described.end() ? found->second : nullptr, statusWrittenNs,
                       capabilityMask, plan.kept);
        if (reason.empty()) {
            plan.kept.insert(block.name);
            plan.text += "  keep \"" + block.name + "\": unchanged, gets no call\n";
        } else {
            plan.stopped.emplace(block.name, reason);
            plan.text += "  stop \"" + block.name + "\": " + reason + "\n";
        }
    }
    size_t started = 0;
    for (const tStartPrediction& prediction : startOrder) {
        if (plan.kept.count(prediction.plugin.description.name) == 0) {
            ++started;
            plan.text += "  start \"" + prediction.plugin.description.name +
                         "\": " + whyStarted(prediction, plan, blockOf) + "\n";
        }
    }
    plan.text += "Reload summary: " + std::to_string(plan.kept.size()) + " kept, " +
                 std::to_string(plan.stopped.size()) + " stopped, " + std::to_string(started) +
                 " started\n";
    return plan.text;
}

}  // namespace nPluginCheck
