// The checks across description files and the prediction of the start pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CheckerTestSupport.h"
#include "CrossFileCheck.h"
#include "StartPrediction.h"
#include "support/TestPlugins.h"

namespace {

using nPluginCheck::tPlacedDescription;
using nPluginCheck::tStartPrediction;
using tKinds = std::vector<std::string>;

constexpr uint32_t kAllCapabilities = 0xFFFFFFFF;
constexpr uint32_t kDeploymentDenied = 0xFFFFFFFD;

tPlacedDescription placed(const std::string& name, std::vector<std::string> dependencies = {},
                          uint32_t requires = 1, const std::string& path = "/x.so") {
    tPlacedDescription plugin;
    plugin.file = name + ".ini";
    plugin.description.name = name;
    plugin.description.dependencies = std::move(dependencies);
    plugin.description.requires = requires;
    plugin.description.path = path;
    return plugin;
}

// "name:code" per plugin, in start order.
std::vector<std::string> outcomes(const std::vector<tStartPrediction>& predictions) {
    std::vector<std::string> listed;
    for (const tStartPrediction& prediction : predictions) {
        listed.push_back(prediction.plugin.description.name + ":" +
                         std::to_string(prediction.code));
    }
    return listed;
}

std::vector<tStartPrediction> predict(const std::vector<tPlacedDescription>& plugins,
                                      uint32_t mask = kAllCapabilities, bool load = false) {
    return nPluginCheck::predictStartPass(nPluginCheck::inStartOrder(plugins), mask, load);
}

TEST(AcrossFiles, NamesWhatMakesTheStartPassRefusePlugins) {
    struct tCase {
        const char* what;
        std::vector<tPlacedDescription> plugins;
        tKinds findings;
    };
    const std::vector<tCase> cases = {
        {"nothing wrong", {placed("a"), placed("b", {"a"})}, {}},
        {"same name twice", {placed("a"), placed("a")}, {"duplicate-name@0"}},
        {"undescribed dependency", {placed("a", {"core"})}, {"undescribed-dependency@0"}},
        {"names differ in case", {placed("a"), placed("b", {"A"})}, {"undescribed-dependency@0"}},
        {"names itself", {placed("a", {"a"})}, {"self-dependency@0"}},
        {"dependency twice", {placed("a"), placed("b", {"a", "a"})}, {"repeated-dependency@0"}},
        {"two plugins in a cycle",
         {placed("a", {"b"}), placed("b", {"a"})},
         {"dependency-cycle@0"}},
        {"three plugins in a cycle and one outside",
         {placed("a", {"c"}), placed("b", {"a"}), placed("c", {"b"}), placed("d", {"a"})},
         {"dependency-cycle@0"}},
    };
    for (const tCase& test : cases) {
        EXPECT_EQ(test.findings,
                  zotest::kindsAndLines(nPluginCheck::checkAcrossFiles(predict(test.plugins))))
            << test.what;
    }
    const std::vector<nPluginCheck::tFinding> cycle = nPluginCheck::checkAcrossFiles(
        predict({placed("a", {"c"}), placed("b", {"a"}), placed("c", {"b"}), placed("d", {"a"})}));
    ASSERT_EQ(1u, cycle.size());
    EXPECT_EQ(0u, cycle[0].message.find("\"a\", \"b\" and \"c\" depend on one another"))
        << cycle[0].message;
}

// Admission is tested before the dependencies: a finding about a plugin's
// dependencies names the code the start pass gives it, not the one its
// dependencies alone would.
TEST(AcrossFiles, NamesTheCodeThePredictionGives) {
    struct tCase {
        const char* what;
        std::vector<tPlacedDescription> plugins;
        uint32_t mask;
        const char* message;  // the only finding's whole text ends with it
    };
    const std::vector<tCase> cases = {
        {"undescribed dependency",
         {placed("a", {"core"})},
         kAllCapabilities,
         "\"core\", which no accepted \".ini\" description file describes: it is refused "
         "(-52006)"},
        {"undescribed dependency, not admitted",
         {placed("a", {"core"}, 2)},
         kDeploymentDenied,
         "describes: it is refused (-52002), by the admission test, which comes before the "
         "dependencies"},
        {"cycle whose first plugin is not admitted",
         {placed("a", {"b"}, 2), placed("b", {"a"})},
         kDeploymentDenied,
         "in a cycle: \"a\" is refused (-52002) and \"b\" is refused (-52006), and every "
         "plugin that depends on them is refused too"},
    };
    for (const tCase& test : cases) {
        const std::vector<nPluginCheck::tFinding> findings =
            nPluginCheck::checkAcrossFiles(predict(test.plugins, test.mask));
        ASSERT_EQ(1u, findings.size()) << test.what;
        const std::string& message = findings[0].message;
        const std::string ending = test.message;
        EXPECT_TRUE(message.size() >= ending.size() &&
                    message.compare(message.size() - ending.size(), ending.size(), ending) == 0)
            << test.what << ": " << message;
    }
}

TEST(StartPrediction, RefusesAsTheManagerDoesAndSaysWhy) {
    struct tCase {
        const char* what;
        std::vector<tPlacedDescription> plugins;
        uint32_t mask;
        tKinds outcomes;
        const char* reason;  // in the last plugin's reason
    };
    const std::vector<tCase> cases = {
        {"dependency first",
         {placed("b", {"a"}), placed("a")},
         kAllCapabilities,
         {"a:0", "b:0"},
         ""},
        {"requires 0", {placed("a", {}, 0)}, kAllCapabilities, {"a:-52002"}, "reads as 0"},
        {"deployment denied",
         {placed("a", {}, 2)},
         kDeploymentDenied,
         {"a:-52002"},
         "remote deployment is not allowed"},
        {"requires 3 without deployment", {placed("a", {}, 3)}, kDeploymentDenied, {"a:0"}, ""},
        {"missing dependency",
         {placed("a", {"core"})},
         kAllCapabilities,
         {"a:-52006"},
         "\"core\" is described by no accepted \".ini\" file"},
        {"refused dependency",
         {placed("a", {}, 2), placed("b", {"a"})},
         kDeploymentDenied,
         {"a:-52002", "b:-52006"},
         "\"a\" is refused (-52002)"},
        {"named twice",
         {placed("a"), placed("b", {"a", "a"})},
         kAllCapabilities,
         {"a:0", "b:-52006"},
         "\"a\" is listed twice"},
        {"names itself",
         {placed("a", {"a"})},
         kAllCapabilities,
         {"a:-52006"},
         "is the plugin itself"},
        {"cycle",
         {placed("b", {"a"}), placed("a", {"b"})},
         kAllCapabilities,
         {"a:-52006", "b:-52006"},
         "\"a\" is refused (-52006)"},
        {"same name twice",
         {placed("a"), placed("a"), placed("b", {"a"})},
         kAllCapabilities,
         {"a:0", "a:0", "b:0"},
         ""},
    };
    for (const tCase& test : cases) {
        const std::vector<tStartPrediction> predictions = predict(test.plugins, test.mask);
        EXPECT_EQ(test.outcomes, outcomes(predictions)) << test.what;
        ASSERT_FALSE(predictions.empty());
        EXPECT_NE(std::string::npos, predictions.back().reason.find(test.reason))
            << test.what << ": " << predictions.back().reason;
    }
}

TEST(StartPrediction, StartOrderKeepsEachDescriptionWithItsFile) {
    std::vector<tPlacedDescription> plugins = {placed("b", {"a"}), placed("a"), placed("a")};
    plugins[1].file = "first.ini";
    plugins[2].file = "second.ini";
    const std::vector<tPlacedDescription> ordered = nPluginCheck::inStartOrder(plugins);
    ASSERT_EQ(3u, ordered.size());
    EXPECT_EQ("first.ini", ordered[0].file);
    EXPECT_EQ("second.ini", ordered[1].file);
    EXPECT_EQ("b.ini", ordered[2].file);
}

TEST(StartPrediction, LoadingNamesEveryMissingPieceInTheLoadersWords) {
    using namespace zotest::plugins;
    zotest::tScratchDirectory directory;
    const std::string missingLibrary = directory.path + "/no-such-plugin.so";
    std::vector<tPlacedDescription> plugins = {
        placed("alpha", {}, 1, kAlphaPlugin),
        placed("lost", {}, 1, missingLibrary),
        placed("unbound", {}, 1, kGammaPlugin),
        placed("needsUnbound", {"unbound"}, 1, kAlphaPlugin),
        placed("unnamed", {}, 1, ""),
    };
    plugins[0].description.initializeSymbol = "AlphaInit";
    plugins[2].description.initializeSymbol = "GammaInit";
    plugins[2].description.stopSymbol = "NoSuchStop";
    plugins[2].description.cleanupSymbol = "NoSuchCleanup";

    const std::vector<tStartPrediction> loaded = predict(plugins, kAllCapabilities, true);
    EXPECT_EQ((tKinds{"alpha:0", "lost:-52005", "unbound:-52005", "needsUnbound:-52006",
                      "unnamed:-52005"}),
              outcomes(loaded));
    ASSERT_EQ(1u, loaded[1].loadFailures.size());
    EXPECT_EQ("library \"" + missingLibrary + "\"", loaded[1].loadFailures[0].what);
    EXPECT_EQ(missingLibrary + ": cannot open shared object file: No such file or directory",
              loaded[1].loadFailures[0].loaderText);
    ASSERT_EQ(2u, loaded[2].loadFailures.size());
    EXPECT_EQ("Stop entry point \"NoSuchStop\"", loaded[2].loadFailures[0].what);
    EXPECT_EQ(kGammaPlugin + ": undefined symbol: NoSuchStop",
              loaded[2].loadFailures[0].loaderText);
    EXPECT_EQ(kGammaPlugin + ": undefined symbol: NoSuchCleanup",
              loaded[2].loadFailures[1].loaderText);
    EXPECT_EQ("\"unbound\" fails to load (-52005)", loaded[3].reason);
    // The service fails a plugin without a path without asking the loader.
    EXPECT_TRUE(loaded[4].loadFailures.empty());
    EXPECT_EQ("it has no \"Path\": there is no library to open", loaded[4].reason);

    // Without --load nothing is opened and every library that is named is
    // assumed to bind; one that is not named cannot.
    EXPECT_EQ((tKinds{"alpha:0", "lost:0", "unbound:0", "needsUnbound:0", "unnamed:-52005"}),
              outcomes(predict(plugins)));
}

// The loader resolves a relative path in the checker's working directory and
// a bare name through the checker's LD_LIBRARY_PATH; the service's may differ.
TEST(StartPrediction, LoadingNotesWhereARelativePathWasResolved) {
    using namespace zotest::plugins;
    const std::string directory = kAlphaPlugin.substr(0, kAlphaPlugin.rfind('/'));
    const std::string file = kAlphaPlugin.substr(kAlphaPlugin.rfind('/') + 1);
    zotest::tWorkingDirectory inPlugins(directory);
    const std::vector<tStartPrediction> loaded =
        predict({placed("absolute", {}, 1, kAlphaPlugin), placed("relative", {}, 1, "./" + file),
                 placed("bare", {}, 1, "no-such-bare-name.so")},
                kAllCapabilities, true);
    EXPECT_EQ((tKinds{"absolute:0", "bare:-52005", "relative:0"}), outcomes(loaded));
    EXPECT_EQ("", loaded[0].environmentNote);
    EXPECT_NE(std::string::npos,
              loaded[1].environmentNote.find("the bare name "
                                             "\"no-such-bare-name.so\" was "
                                             "looked up in this checker's "
                                             "environment (its LD_LIBRARY_PATH)"))
        << loaded[1].environmentNote;
    EXPECT_NE(std::string::npos,
              loaded[2].environmentNote.find("resolved against this checker's working directory " +
                                             directory +
                                             ", as this checker's user; the service "
                                             "runs from /"))
        << loaded[2].environmentNote;
}

}  // namespace
