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

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct tPlan {
    std::string text;
    std::set<std::string> kept;       // Names, for the dependencies
    std::set<std::string> keptFiles;  // description files, with a JSON status
    std::map<std::string, std::string> stopped;  // why, by Name
    size_t stoppedCount = 0;                     // two may share a Name
};

// As the reload compares them: the same description file with the same
// bytes, and the library still the file the loader mapped.
std::string whyChanged(const tStatusBlock& block) {
    const std::string bytes = fileText(block.file);
    if (fingerprintBytes(bytes.data(), bytes.size()) != block.fingerprint) {
        return "its description changed";
    }
    if (!sameFile(block.loadedIdentity, identifyFile(block.loadedFile.c_str()))) {
        const tFileIdentity now = identifyFile(block.loadedFile.c_str());
        return now.known && now.device == block.loadedIdentity.device &&
                       now.inode == block.loadedIdentity.inode
                   ? "its library " + block.loadedFile +
                         " was written over in place (install new versions by rename)"
                   : "its library " + block.loadedFile + " was written after the service loaded it";
    }
    return std::string();
}

// Why a plugin running now would be stopped; empty when it is kept.
std::string whyStopped(const tStatusBlock& block, const tStartPrediction* described,
                       int64_t statusWrittenNs, uint32_t capabilityMask,
                       const std::set<std::string>& kept) {
    if (described == nullptr) {
        return "no accepted description file describes it any more";
    }
    if (block.compared) {
        const std::string changed = whyChanged(block);
        if (!changed.empty()) {
            return changed;
        }
    } else if (!sameAsBlock(described->plugin.description, block)) {
        return "its description changed";
    }
    if (!block.compared && lastWrittenNs(described->plugin.file) > statusWrittenNs) {
        return "its description file " + described->plugin.file +
               " was written after the service read it";
    }
    if (!block.compared && lastWrittenNs(block.path) > statusWrittenNs) {
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
    if (plugin.contains("fingerprint")) {
        block.compared = true;
        block.file = plugin.at("file").get<std::string>();
        block.fingerprint =
            strtoull(plugin.at("fingerprint").get<std::string>().c_str(), nullptr, 16);
        const nlohmann::json& loaded = plugin.at("loaded");
        if (loaded.is_object()) {
            block.loadedFile = loaded.at("file").get<std::string>();
            block.loadedIdentity.device = loaded.at("device").get<dev_t>();
            block.loadedIdentity.inode = loaded.at("inode").get<ino_t>();
            block.loadedIdentity.size = loaded.at("size").get<off_t>();
            block.loadedIdentity.modifiedNs = loaded.at("modifiedNs").get<int64_t>();
            block.loadedIdentity.known = true;
        }
    }
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

    // The description of each Name and of each file: with the JSON status a
    // running plugin is matched by its file, as the reload matches it.
    std::map<std::string, const tStartPrediction*> described;
    std::map<std::string, const tStartPrediction*> describedFile;
    for (const tStartPrediction& prediction : startOrder) {
        described.emplace(prediction.plugin.description.name, &prediction);
        describedFile.emplace(prediction.plugin.file, &prediction);
    }
    std::map<std::string, const tStatusBlock*> blockOf;
    tPlan plan;
    plan.text = "Reload plan (against " + statusFile + "; the service is not asked):\n";
    for (const tStatusBlock& block : blocks) {
        blockOf.emplace(block.name, &block);
        // Only a plugin that runs is kept or stopped.
        if (block.initializeCode < 0 || (block.compared && !block.loadedIdentity.known)) {
            continue;
        }
        const tStartPrediction* match = nullptr;
        if (block.compared) {
            const auto found = describedFile.find(block.file);
            match = found != describedFile.end() && plan.keptFiles.count(block.file) == 0
                        ? found->second
                        : nullptr;
        } else {
            const auto found = described.find(block.name);
            match = found != described.end() ? found->second : nullptr;
        }
        const std::string reason =
            whyStopped(block, match, statusWrittenNs, capabilityMask, plan.kept);
        if (reason.empty()) {
            plan.kept.insert(block.name);
            plan.keptFiles.insert(block.compared ? block.file : match->plugin.file);
            plan.text += "  keep \"" + block.name + "\": unchanged, gets no call\n";
        } else {
            plan.stopped.emplace(block.name, reason);
            ++plan.stoppedCount;
            plan.text += "  stop \"" + block.name + "\": " + reason + "\n";
        }
    }
    size_t started = 0;
    for (const tStartPrediction& prediction : startOrder) {
        if (plan.keptFiles.count(prediction.plugin.file) == 0) {
            ++started;
            plan.text += "  start \"" + prediction.plugin.description.name +
                         "\": " + whyStarted(prediction, plan, blockOf) + "\n";
        }
    }
    plan.text += "Reload summary: " + std::to_string(plan.keptFiles.size()) + " kept, " +
                 std::to_string(plan.stoppedCount) + " stopped, " + std::to_string(started) +
                 " started\n";
    return plan.text;
}

}  // namespace nPluginCheck
