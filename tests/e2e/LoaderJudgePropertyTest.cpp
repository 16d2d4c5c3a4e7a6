// A property of the running service, judged without trusting the service's
// own judge: whatever libraries, links, FIFOs and directories root and
// another user (uid 12345) lay out around the plugins, every file the
// service maps with execute permission is root's and nobody else can change
// it, and the start completes.
//
// Each graph is one plugin with the libraries it may pull in: needed names
// plain and with $ORIGIN, run paths with their hardware subdirectories,
// LD_LIBRARY_PATH entries with tokens, optional and required filters, the
// plugin's own Path plain and with tokens; every place a library may be
// looked for holds, at random, nothing, root's copy, the other user's copy,
// a link of either to either, a FIFO or a directory, in directories of
// either with random modes. Many graphs share one service run; strace -y
// observes every mmap(2) with PROT_EXEC and the file behind its descriptor,
// and the test's own judge (realpath(3) and lstat(2) of every directory on
// the way) decides. ZO_TEST_PROPERTY_GRAPHS sets the number of graphs (1000
// by default), ZO_TEST_PROPERTY_SEED the seed, which a failure prints.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/AttackLibraries.h"
#include "support/DescriptionFile.h"
#include "support/SafetyRun.h"
#include "support/ServiceProcess.h"

namespace {

constexpr size_t kGraphsPerRun = 250;

using namespace zotest::attack;
// Any library will do as a filtee: the test only looks at what is mapped.
const std::string& kFiltee = kImpostorNeeded;

size_t fromEnvironment(const char* name, size_t otherwise) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? std::stoul(value) : otherwise;
}

// Every "test" in the library names of `bytes` made `tag` (4 characters):
// each graph's libraries then have names of their own, which the loader
// does not take for those of another graph already loaded.
std::string renamed(std::string bytes, const std::string& tag) {
    for (const std::string name :
         {"libzo_test_needed.so", "libzo_test_filtee.so", "libzo_test_ext.so"}) {
        std::string replacement = name;
        replacement.replace(6, 4, tag);
        for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at)) {
            bytes.replace(at, name.size(), replacement);
        }
    }
    return bytes;
}

// The test's own judge: root owns the file and every directory of its real
// path, and none is writable by group or others but root's sticky ones.
bool rootsAlone(const std::string& path, std::string& why) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) {
        why = path + ": cannot be resolved";
        return false;
    }
    std::string prefix = real;
    while (true) {
        struct stat info;
        if (lstat(prefix.c_str(), &info) != 0) {
            why = prefix + ": cannot be examined";
            return false;
        }
        const bool rootSticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
        if (info.st_uid != 0 || ((info.st_mode & 022) != 0 && !rootSticky)) {
            why = prefix + " (uid " + std::to_string(info.st_uid) + ", mode " +
                  std::to_string(info.st_mode & 07777) + ")";
            return false;
        }
        if (prefix == "/") {
            return true;
        }
        const size_t slash = prefix.rfind('/');
        prefix = slash == 0 ? "/" : prefix.substr(0, slash);
    }
}

class tGraphs {
  public:
    tGraphs(const std::string& directory, uint32_t seed) : base(directory), random(seed) {}

    // Lays out graph `index`; returns its description.
    zotest::tDescriptionFile graph(size_t index) {
        char tag[8];
        snprintf(tag, sizeof tag, "%04zu", index % 10000);
        const std::string directory = base + "/g" + tag;
        zotest::makeDirectory(directory, 0755);
        const struct {
            const std::string* library;
            const char* initialize;
        } templates[] = {{&kNeedy, "NeedyInit"},
                         {&kOriginNeedy, "OriginNeedyInit"},
                         {&kAuxiliary, "AuxiliaryInit"},
                         {&kFiltered, "FilteredInit"},
                         {&kAnnouncing, "AnnouncingInit"}};
        const auto& chosen = templates[pick(5)];
        const std::string plugin = zotest::readFile(*chosen.library);
        std::string path = pluginPath(directory, tag, renamed(plugin, tag));
        // Every place the loader may look for what the plugin needs.
        const std::string needed = renamed(zotest::readFile(kNeeded), tag);
        const std::string filtee = renamed(zotest::readFile(kFiltee), tag);
        const std::string ext = renamed(zotest::readFile(kExt), tag);
        const std::string neededName = "libzo_" + std::string(tag) + "_needed.so";
        const std::string filteeName = "libzo_" + std::string(tag) + "_filtee.so";
        for (const char* below : {"", "/x86_64", "/tls"}) {
            fill(directory + "/needed" + below, neededName, needed);
            fill(directory + "/filters" + below, filteeName, filtee);
            fill(libraryPath + below, neededName, needed);
        }
        fill(directory + "/ext", "libzo_" + std::string(tag) + "_ext.so", ext);
        return {"G" + std::string(tag), path, chosen.initialize};
    }

    // A directory of LD_LIBRARY_PATH for the next run, and its entry.
    std::string nextLibraryPath(size_t run) {
        libraryPath = base + "/ldp" + std::to_string(run);
        zotest::makeDirectory(libraryPath, 0755);
        // $LIB there leads nowhere; the loader still tries it.
        return pick(2) == 0 ? libraryPath : base + "/$LIB:" + libraryPath;
    }

  private:
    size_t pick(size_t choices) {
        return std::uniform_int_distribution<size_t>(0, choices - 1)(random);
    }

    std::string pluginPath(const std::string& directory, const std::string& tag,
                           const std::string& bytes) {
        const char* const platform = reinterpret_cast<const char*>(getauxval(AT_PLATFORM));
        const struct {
            const char* written;
            std::string expanded;
        } forms[] = {
            {"", ""}, {"/$LIB", "/" ZO_LOADER_LIB}, {"/${PLATFORM}", std::string("/") + platform}};
        const auto& form = forms[pick(3)];
        const std::string file = directory + form.expanded + "/p" + tag + ".so";
        zotest::makeDirectories(directory + form.expanded);
        place(file, bytes, pick(8) == 0);
        return directory + form.written + "/p" + tag + ".so";
    }

    // `directory` (made by root or the other user, with a random mode)
    // holds at `name`, at random, nothing, a copy of `bytes` of either, a
    // link of either to a copy of either, a FIFO or a directory.
    void fill(const std::string& directory, const std::string& name, const std::string& bytes) {
        if (pick(3) == 0) {
            return;  // no such directory
        }
        zotest::makeDirectories(directory);
        const mode_t modes[] = {0755, 0755, 0775, 0777, 01777};
        zotest::setMode(directory, modes[pick(5)]);
        const std::string file = directory + "/" + name;
        switch (pick(6)) {
            case 0:
                break;
            case 1:
            case 2:
                place(file, bytes, pick(2) == 0);
                break;
            case 3: {
                const std::string target = directory + "/target-" + name;
                place(target, bytes, pick(2) == 0);
                ASSERT_EQ(0, symlink(target.c_str(), file.c_str()));
                if (pick(2) == 0) {
                    zotest::giveToStranger(file);
                }
                break;
            }
            case 4:
                ASSERT_EQ(0, mkfifo(file.c_str(), 0644));
                break;
            default:
                zotest::makeDirectory(file, 0755);
        }
        if (pick(4) == 0) {
            zotest::giveToStranger(directory);
        }
    }

    void place(const std::string& file, const std::string& bytes, bool stranger) {
        zotest::writeFile(file, bytes);
        zotest::setMode(file, 0755);
        if (stranger) {
            zotest::giveToStranger(file);
        }
    }

    std::string base;
    std::mt19937 random;
    std::string libraryPath;
};

// The files mapped with PROT_EXEC in strace -y's `trace`.
std::set<std::string> executableMappings(const std::string& trace) {
    std::set<std::string> files;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("mmap(") == std::string::npos ||
            line.find("PROT_EXEC") == std::string::npos) {
            continue;
        }
        const size_t open = line.find('<');
        const size_t close = line.find('>', open);
        if (open != std::string::npos && close != std::string::npos) {
            files.insert(line.substr(open + 1, close - open - 1));
        }
    }
    return files;
}

TEST(LoaderJudgeProperty, EveryExecutableMappingIsRootsAloneWhateverTheGraph) {
    ZOTEST_SKIP_UNLESS_ROOT();
    if (access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "the observer, strace, is not installed";
    }
    const size_t graphs = fromEnvironment("ZO_TEST_PROPERTY_GRAPHS", 1000);
    const uint32_t seed =
        static_cast<uint32_t>(fromEnvironment("ZO_TEST_PROPERTY_SEED", std::random_device()()));
    SCOPED_TRACE("ZO_TEST_PROPERTY_SEED=" + std::to_string(seed));
    zotest::TestRoot root;
    const std::string base = root.root() + "/graphs";
    zotest::makeDirectory(base, 0755);
    tGraphs generator(base, seed);
    size_t mapped = 0;
    for (size_t first = 0, run = 0; first < graphs; first += kGraphsPerRun, ++run) {
        zotest::removeTree(root.pluginsDirectory());
        zotest::makeDirectory(root.pluginsDirectory(), 0755);
        const std::string libraryPath = generator.nextLibraryPath(run);
        std::vector<zotest::tDescriptionFile> descriptions;
        for (size_t index = first; index < std::min(graphs, first + kGraphsPerRun); ++index) {
            descriptions.push_back(generator.graph(index));
        }
        zotest::addDescriptions(root, descriptions);
        const std::string trace = root.root() + "/trace";
        zotest::ServiceProcess observed(
            {"-f", "-y", "--seccomp-bpf", "-e", "trace=mmap", "-o", trace, "--", ZO_TEST_SERVICE},
            {"LD_LIBRARY_PATH=" + libraryPath}, "/usr/bin/strace");
        // The start completes, FIFOs or not: every plugin has its verdict.
        std::string json;
        ASSERT_TRUE(zotest::waitFor(
            [&] {
                json = zotest::fileExists(root.statusFile() + ".json")
                           ? zotest::readFile(root.statusFile() + ".json")
                           : "";
                return json.find("\"phase\":\"running\"") != std::string::npos;
            },
            std::chrono::seconds(120)))
            << json;
        const size_t pidAt = json.find("\"pid\":") + 6;
        const pid_t service = static_cast<pid_t>(std::stol(json.substr(pidAt)));
        ASSERT_EQ(0, kill(service, SIGTERM));
        observed.wait();
        for (const std::string& file : executableMappings(zotest::readFile(trace))) {
            std::string why;
            EXPECT_TRUE(rootsAlone(file, why)) << "mapped for execution: " << why;
            mapped += file.compare(0, base.size() + 1, base + "/") == 0 ? 1 : 0;
        }
    }
    // Not a vacuous run: plugins of the graphs were mapped.
    EXPECT_GT(mapped, graphs / 4);
    printf("%zu graphs, %zu files mapped for execution, seed %u\n", graphs, mapped, seed);
}

}  // namespace
