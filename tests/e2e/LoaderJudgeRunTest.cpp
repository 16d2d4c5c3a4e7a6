// The loader's judge tried as a local attacker would: another user (uid
// 12345) owns a directory that an administrator's configuration leads into,
// through a token of a library name, a run path's hardware subdirectory,
// LD_LIBRARY_PATH or a filter. In every case the attacker's code never runs,
// in the service nor in the checker's --load and --trial, and each case has
// a control that names the attacker's file plainly (refused alike) and one
// where root owns the same layout (it starts). Giving files away needs root:
// the tests skip without it (CI runs as root).
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "checker/CheckerTestSupport.h"
#include "support/AttackLibraries.h"
#include "support/DescriptionFile.h"
#include "support/PluginCallLog.h"
#include "support/SafetyRun.h"
#include "support/ServiceProcess.h"

namespace {

using tLines = std::vector<std::string>;

using namespace zotest::attack;

constexpr int kStarts = 0;
constexpr int kUnsafe = -52026;
constexpr int kNoLibrary = -52005;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// "$ORIGIN/../x" for `target` as seen from the directory of `executable`.
std::string fromOrigin(const std::string& executable, const std::string& target) {
    std::string origin = directoryOf(executable);
    std::string up;
    while (target.compare(0, origin.size() + 1, origin + "/") != 0) {
        origin = directoryOf(origin);
        up += "/..";
    }
    return "$ORIGIN" + up + target.substr(origin.size());
}

// One plugin as a case starts it: its Path, for the executable that loads it.
struct tPlugin {
    std::string name;
    std::string initialize;
    std::function<std::string(const std::string& executable)> path;
};

tPlugin plugin(const std::string& name, const std::string& initialize, const std::string& path) {
    return tPlugin{name, initialize, [path](const std::string&) { return path; }};
}

class LoaderJudgeRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ZOTEST_SKIP_UNLESS_ROOT();
        root = std::make_unique<zotest::TestRoot>();
        safe = root->root() + "/safe";
        zotest::makeDirectory(safe, 0755);
    }

    // `from` copied to `to`, root's unless `stranger`; missing directories
    // on the way are root's.
    void place(const std::string& from, const std::string& to, bool stranger = false) {
        zotest::makeDirectories(directoryOf(to));
        zotest::copyLibrary(from, to);
        if (stranger) {
            zotest::giveToStranger(to);
        }
    }

    // A directory of the attacker's, holding `from` as `name`.
    void plantIn(const std::string& directory, const std::string& from, const std::string& name) {
        zotest::makeDirectory(directory, 0755);
        place(from, directory + "/" + name, true);
        zotest::giveToStranger(directory);
    }

    // Starts `plugin` in the service, then in the checker's --load and
    // --trial, and expects `code` from each: the attacker's impostor never
    // runs, and a refused plugin runs no code at all.
    void expectEverywhere(const tPlugin& plugin, int code, const tLines& environment = {}) {
        SCOPED_TRACE(plugin.name + " expecting " + std::to_string(code));
        expectFromService(plugin, code, environment);
        expectFromChecker(plugin, code, environment, "--load");
        expectFromChecker(plugin, code, environment, "--trial");
    }

    void expectFromService(const tPlugin& plugin, int code, const tLines& environment) {
        const std::string path = plugin.path(ZO_TEST_SERVICE);
        zotest::addDescriptions(*root, {{plugin.name, path, plugin.initialize}});
        zotest::tPluginCallLog log;
        tLines entries = environment;
        entries.push_back(log.environmentEntry());
        // What an earlier run left is never taken for this run's verdict.
        zotest::removeTree(root->statusFile());
        zotest::removeTree(root->statusFile() + ".json");
        zotest::ServiceProcess service({}, entries);
        std::string status;
        EXPECT_TRUE(
            zotest::waitForStatusHolding(*root, {zotest::blockHeader(plugin.name, path)}, status))
            << status;
        expectInitializeCode(plugin.initialize, code);
        zotest::stopByTheSignal(service);
        status = zotest::readFile(root->statusFile());
        expectNoImpostor(log.calls(), code);
        if (code == kUnsafe) {
            EXPECT_NE(std::string::npos,
                      status.find("Unsafe plugin library: " + plugin.name + ": "))
                << status;
        }
        zotest::removeTree(root->pluginsDirectory() + "/" + plugin.name + ".ini");
    }

    // A step of 0 ms with code 0 has no line of the text: its JSON twin tells.
    void expectInitializeCode(const std::string& initialize, int code) {
        std::string json;
        EXPECT_TRUE(zotest::waitFor([&] {
            json = zotest::readFile(root->statusFile() + ".json");
            return contains(json, "\"initialize\":{\"entry\":\"" + initialize +
                                      "\",\"code\":" + std::to_string(code) + ",");
        })) << json;
    }

    void expectFromChecker(const tPlugin& plugin, int code, const tLines& environment,
                           const std::string& opening) {
        const std::string file = root->root() + "/checked.ini";
        zotest::writeFile(file, zotest::description(plugin.name, plugin.path(ZO_TEST_CHECKER),
                                                    "Initialize=" + plugin.initialize + "\n"));
        zotest::tPluginCallLog log;
        tLines entries = environment;
        entries.push_back(log.environmentEntry());
        const zotest::tCheckerRun run = zotest::runChecker({opening, file}, entries);
        // A library named with a '/' is judged before the trial; what it
        // needs, when its child loads it.
        const bool refused = contains(run.output, "refused, -52026: library ");
        const bool expected =
            code == kStarts
                ? contains(run.output, opening == "--trial" ? "): clean\n" : "): admitted\n")
            : code == kUnsafe
                ? refused || (opening == "--trial" && contains(run.output, "Initialize -52026 "))
                : contains(run.output, "its library cannot be opened") ||
                      contains(run.output, "Initialize -52005 ") ||
                      contains(run.output, "is no regular file");
        EXPECT_TRUE(expected) << opening << "\n" << run.output << run.errors;
        expectNoImpostor(log.calls(), code);
    }

    static void expectNoImpostor(const tLines& calls, int code) {
        EXPECT_EQ(calls.end(), std::find(calls.begin(), calls.end(), "impostor Constructor"));
        if (code != kStarts) {
            EXPECT_EQ(tLines{}, calls) << "a refused plugin ran code";
        }
    }

    std::unique_ptr<zotest::TestRoot> root;
    std::string safe;
};

TEST_F(LoaderJudgeRun, TokensOfAPathAreJudgedAsTheLoaderExpandsThem) {
    const char* const platform = reinterpret_cast<const char*>(getauxval(AT_PLATFORM));
    ASSERT_NE(nullptr, platform);
    const struct {
        const char* token;
        std::string expansion;
    } tokens[] = {{"$LIB", ZO_LOADER_LIB},
                  {"${LIB}", ZO_LOADER_LIB},
                  {"$PLATFORM", platform},
                  {"${PLATFORM}", platform}};
    for (const auto& token : tokens) {
        SCOPED_TRACE(token.token);
        const std::string attacked = safe + "/attacked";
        const std::string owned = safe + "/owned";
        zotest::removeTree(attacked);
        zotest::removeTree(owned);
        // The attacker owns the first directory the token leads to.
        const std::string first = token.expansion.substr(0, token.expansion.find('/'));
        place(kAnnouncing, attacked + "/" + token.expansion + "/libp.so", true);
        zotest::giveToStranger(attacked + "/" + first);
        expectEverywhere(
            plugin("Token", "AnnouncingInit", attacked + "/" + token.token + "/libp.so"), kUnsafe);
        expectEverywhere(
            plugin("Plain", "AnnouncingInit", attacked + "/" + token.expansion + "/libp.so"),
            kUnsafe);
        // Root's own tree by the same token: the expansion is the loader's.
        place(kAnnouncing, owned + "/" + token.expansion + "/libp.so");
        expectEverywhere(plugin("Owned", "AnnouncingInit", owned + "/" + token.token + "/libp.so"),
                         kStarts);
    }
}

// The loader expands $ORIGIN in a dlopen()ed name from its caller's object,
// which a sanitizer's interceptor makes its own runtime.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

TEST_F(LoaderJudgeRun, OriginInAPathLeadsFromTheProgramsOwnDirectory) {
    if (kUnderAddressSanitizer) {
        GTEST_SKIP() << "under AddressSanitizer its runtime calls dlopen() for the program, so "
                        "the loader expands $ORIGIN as the runtime's directory";
    }
    const std::string attacked = safe + "/attacked/libp.so";
    place(kAnnouncing, attacked, true);
    zotest::giveToStranger(directoryOf(attacked));
    const auto viaOrigin = [](const std::string& target) {
        return [target](const std::string& executable) { return fromOrigin(executable, target); };
    };
    expectEverywhere(tPlugin{"Origin", "AnnouncingInit", viaOrigin(attacked)}, kUnsafe);
    expectEverywhere(plugin("Plain", "AnnouncingInit", attacked), kUnsafe);
    const std::string owned = safe + "/owned/libp.so";
    place(kAnnouncing, owned);
    expectEverywhere(tPlugin{"Owned", "AnnouncingInit", viaOrigin(owned)}, kStarts);
}

TEST_F(LoaderJudgeRun, OriginInANeededNameLeadsFromTheNeedingLibrary) {
    place(kOriginNeedy, safe + "/attacked/plugin.so");
    plantIn(safe + "/attacked/ext", kImpostorExt, "libzo_test_ext.so");
    expectEverywhere(plugin("Needs", "OriginNeedyInit", safe + "/attacked/plugin.so"), kUnsafe);
    expectEverywhere(plugin("Plain", "ExtInit", safe + "/attacked/ext/libzo_test_ext.so"), kUnsafe);
    place(kOriginNeedy, safe + "/owned/plugin.so");
    place(kExt, safe + "/owned/ext/libzo_test_ext.so");
    expectEverywhere(plugin("Owned", "OriginNeedyInit", safe + "/owned/plugin.so"), kStarts);
}

// The loader tries tls/ and x86_64/ below every run-path and LD_LIBRARY_PATH
// directory before the directory itself.
TEST_F(LoaderJudgeRun, HardwareSubdirectoriesOfASafeSearchDirectoryAreJudgedToo) {
    const std::string library = "libzo_test_needed.so";
    for (const char* subdirectory : {"tls", "x86_64"}) {
        SCOPED_TRACE(subdirectory);
        const std::string runPath = safe + "/" + subdirectory + "-runpath";
        place(kNeedy, runPath + "/plugin.so");
        place(kNeeded, runPath + "/needed/" + library);
        const std::string planted = runPath + "/needed/" + subdirectory;
        plantIn(planted, kImpostorNeeded, library);
        expectEverywhere(plugin("RunPath", "NeedyInit", runPath + "/plugin.so"), kUnsafe);
        expectEverywhere(plugin("Plain", "NeededInit", planted + "/" + library), kUnsafe);

        // needy's own run path ($ORIGIN/needed) is missing here.
        const std::string libraryPath = safe + "/" + subdirectory + "-librarypath";
        place(kNeedy, libraryPath + "/plugin.so");
        place(kNeeded, libraryPath + "/lib/" + library);
        plantIn(libraryPath + "/lib/" + subdirectory, kImpostorNeeded, library);
        expectEverywhere(plugin("LibraryPath", "NeedyInit", libraryPath + "/plugin.so"), kUnsafe,
                         {"LD_LIBRARY_PATH=" + libraryPath + "/lib"});

        zotest::removeTree(planted);
        expectEverywhere(plugin("Owned", "NeedyInit", runPath + "/plugin.so"), kStarts);
    }
}

TEST_F(LoaderJudgeRun, NoFifoOrDirectoryIsOpenedAndTheStartCompletes) {
    const std::string runPath = safe + "/fifo";
    place(kNeedy, runPath + "/plugin.so");
    place(kNeeded, runPath + "/needed/libzo_test_needed.so");
    zotest::makeDirectory(runPath + "/needed/x86_64", 0755);
    ASSERT_EQ(0, mkfifo((runPath + "/needed/x86_64/libzo_test_needed.so").c_str(), 0644));
    ASSERT_EQ(0, mkfifo((runPath + "/fifo.so").c_str(), 0644));
    // Skipped as the loader skips a missing one: the next candidate is root's.
    expectEverywhere(plugin("PastFifo", "NeedyInit", runPath + "/plugin.so"), kStarts);
    expectEverywhere(plugin("Fifo", "NeedyInit", runPath + "/fifo.so"), kNoLibrary);
    expectEverywhere(plugin("Directory", "NeedyInit", runPath + "/needed"), kNoLibrary);
}

TEST_F(LoaderJudgeRun, ARefusedOptionalFilterIsLeftOutAndARequiredOneRefusesItsLibrary) {
    const std::string filtee = "libzo_test_filtee.so";
    place(kAuxiliary, safe + "/attacked/auxiliary.so");
    place(kFiltered, safe + "/attacked/filtered.so");
    plantIn(safe + "/attacked/filters", kImpostorNeeded, filtee);
    expectEverywhere(plugin("Auxiliary", "AuxiliaryInit", safe + "/attacked/auxiliary.so"),
                     kStarts);
    expectEverywhere(plugin("Filtered", "FilteredInit", safe + "/attacked/filtered.so"), kUnsafe);
    expectEverywhere(plugin("Plain", "NeededInit", safe + "/attacked/filters/" + filtee), kUnsafe);

    // Root's filtee is loaded with either: its constructor runs.
    place(kAuxiliary, safe + "/owned/auxiliary.so");
    place(kImpostorNeeded, safe + "/owned/filters/" + filtee);
    zotest::addDescriptions(*root, {{"Auxiliary", safe + "/owned/auxiliary.so", "AuxiliaryInit"}});
    zotest::tPluginCallLog log;
    zotest::ServiceProcess service({}, {log.environmentEntry()});
    expectInitializeCode("AuxiliaryInit", kStarts);
    zotest::stopByTheSignal(service);
    const tLines calls = log.calls();
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "impostor Constructor"));
}

// The loader reads PT_DYNAMIC and never a section header.
TEST_F(LoaderJudgeRun, ALibraryWithoutSectionHeadersStarts) {
    std::string bytes = zotest::readFile(kAnnouncing);
    ASSERT_GE(bytes.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    memcpy(&header, bytes.data(), sizeof header);
    header.e_shoff = 0;
    header.e_shnum = 0;
    header.e_shstrndx = SHN_UNDEF;
    memcpy(&bytes[0], &header, sizeof header);
    const std::string stripped = safe + "/stripped.so";
    zotest::writeFile(stripped, bytes);
    zotest::setMode(stripped, 0755);
    expectEverywhere(plugin("Stripped", "AnnouncingInit", stripped), kStarts);
}

}  // namespace
