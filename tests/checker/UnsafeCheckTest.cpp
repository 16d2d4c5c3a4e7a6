// The checker's verdicts on files another user could change: the service's
// own rule with its reason, in the text and the JSON report, the -52026 it
// predicts for an unsafe library and the -52006 of its dependents, and the
// note when the checker does not run as root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CheckerTestSupport.h"
#include "support/PluginCallLog.h"
#include "support/TestPlugins.h"

namespace {

using Json = nlohmann::json;
using namespace zotest::plugins;

// A uid that no account on a test machine has: "another user".
constexpr uid_t kStranger = 12345;

#define SKIP_UNLESS_ROOT()                                                            \
    if (geteuid() != 0) {                                                             \
        GTEST_SKIP() << "giving a file to another user, or becoming one, needs root"; \
    }

std::string description(const std::string& name, const std::string& path,
                        const std::string& dependencies = "") {
    return "[Service]\nName=" + name + "\nPath=" + path + "\nDependencies=" + dependencies + "\n";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(UnsafeCheck, DescriptionFileUnderADirectoryOthersMayWriteIsRejectedUnread) {
    zotest::tScratchDirectory directory;
    const std::string file = directory.add("alpha.ini", description("Alpha", kAlphaPlugin));
    ASSERT_EQ(0, chmod(directory.path.c_str(), 0777));
    const std::string reason = directory.path + " is writable by others (mode 0777)";

    // Named one by one: the service would not even list the directory.
    const zotest::tCheckerRun listing = zotest::runChecker({"--plugins-dir", directory.path});
    EXPECT_EQ(2, listing.exitStatus) << listing.output << listing.errors;
    EXPECT_TRUE(contains(listing.errors, "cannot list the plugins directory " + directory.path +
                                             ": it is not safe: " + reason))
        << listing.errors;
    const zotest::tCheckerRun text = zotest::runChecker({file});
    EXPECT_EQ(1, text.exitStatus) << text.output << text.errors;
    EXPECT_TRUE(contains(text.output, file + ": rejected (unsafe): " + reason + "\n"))
        << text.output;
    EXPECT_TRUE(contains(text.output, "Unsafe service description file: " + file)) << text.output;
    EXPECT_TRUE(contains(text.output, "  no plugin\n")) << text.output;

    const zotest::tCheckerRun json = zotest::runChecker({"--json", file});
    const Json report = Json::parse(json.output);
    EXPECT_EQ(false, report["files"][0]["accepted"]);
    EXPECT_EQ(reason, report["files"][0]["unsafe"]);
    EXPECT_EQ("unsafe", report["files"][0]["errors"][0]["kind"]);
    EXPECT_TRUE(report["startOrder"].empty());
}

TEST(UnsafeCheck, LibraryOfAnotherUserIsRefusedWithItsDependents) {
    SKIP_UNLESS_ROOT();
    zotest::tScratchDirectory directory;
    const std::string library = directory.path + "/stranger.so";
    zotest::writeFile(library, zotest::readFile(kAlphaPlugin));
    ASSERT_EQ(0, chown(library.c_str(), kStranger, static_cast<gid_t>(-1)));
    directory.add("stranger.ini", description("Stranger", library));
    directory.add("needs.ini", description("Needs", kBetaPlugin, "Stranger"));
    directory.add("safe.ini", description("Safe", kGammaPlugin));
    const std::string reason = "library " + library + " is owned by uid 12345";

    // Even --load never opens it.
    const zotest::tCheckerRun text =
        zotest::runChecker({"--load", "--plugins-dir", directory.path});
    EXPECT_EQ(1, text.exitStatus) << text.output << text.errors;
    EXPECT_TRUE(contains(text.output, "\"Stranger\" (" + directory.path +
                                          "/stranger.ini): refused, -52026: " + reason + "\n"))
        << text.output;
    EXPECT_TRUE(contains(text.output,
                         "/needs.ini): refused, -52006: \"Stranger\" is refused "
                         "(-52026)\n"))
        << text.output;
    EXPECT_TRUE(contains(text.output, "/safe.ini): admitted\n")) << text.output;
    EXPECT_FALSE(contains(text.output, "Note: ")) << "run as root";
    const zotest::tCheckerRun json =
        zotest::runChecker({"--json", "--plugins-dir", directory.path});
    const Json report = Json::parse(json.output);
    const auto plugin = [&](const std::string& name) {
        for (const Json& prediction : report["startOrder"]) {
            if (prediction["name"] == name) {
                return prediction;
            }
        }
        return Json();
    };
    EXPECT_EQ("refused", plugin("Stranger")["verdict"]) << json.output;
    EXPECT_EQ(-52026, plugin("Stranger")["code"]);
    EXPECT_EQ(reason, plugin("Stranger")["reason"]);
    EXPECT_EQ(-52006, plugin("Needs")["code"]);
    EXPECT_EQ("admitted", plugin("Safe")["verdict"]);
    EXPECT_EQ(0, report["checkedAs"]["uid"]);
    EXPECT_TRUE(report["checkedAs"]["note"].is_null());
}

TEST(UnsafeCheck, BareNameFoundThroughTheLibraryPathInADirectoryOthersMayWriteIsNeverOpened) {
    SKIP_UNLESS_ROOT();
    zotest::tScratchDirectory directory;
    ASSERT_EQ(0, chmod(directory.path.c_str(), 0755));
    const std::string open = directory.path + "/open";
    ASSERT_EQ(0, mkdir(open.c_str(), 0700));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    zotest::writeFile(open + "/libzo_bare.so", zotest::readFile(kAnnouncingPlugin));
    const std::string file = directory.add(
        "bare.ini", description("Bare", "libzo_bare.so") + "Initialize=AnnouncingInit\n");
    // The loader's judge refuses the candidate the loader's search tries
    // there, whatever hardware subdirectory it tries first. Who asked for
    // the name is the program, or a sanitizer's runtime that stands in for
    // its dlopen().
    const std::map<std::string, std::vector<std::string>> refusals = {
        {"--load",
         {"refused, -52026: library " + open +
              " is writable by others (mode 0777) (\"libzo_bare.so\" ",
          ", found through LD_LIBRARY_PATH)\n"}},
        {"--trial",
         {"child process 1: Initialize -52026 (", " ms), Stop not run, Cleanup not run\n"}},
    };
    for (const auto& [opening, parts] : refusals) {
        zotest::tPluginCallLog log;
        const zotest::tCheckerRun run = zotest::runChecker(
            {opening, file}, {"LD_LIBRARY_PATH=" + open, log.environmentEntry()});
        EXPECT_EQ(1, run.exitStatus) << run.output << run.errors;
        for (const std::string& refusal : parts) {
            EXPECT_TRUE(contains(run.output, refusal)) << opening << "\n" << run.output;
        }
        EXPECT_TRUE(log.calls().empty()) << opening << ": its constructor ran";
    }
}

TEST(UnsafeCheck, ControlCharactersOfNamesAreEscapedInTheReport) {
    zotest::tScratchDirectory directory;
    ASSERT_EQ(0, chmod(directory.path.c_str(), 0755));
    const std::string file =
        directory.add("line\nfeed.ini", description("Esc\x1b[2J", kAlphaPlugin));
    ASSERT_EQ(0, chmod(file.c_str(), 0644));
    const zotest::tCheckerRun run = zotest::runChecker({file});
    EXPECT_TRUE(contains(run.output, directory.path + "/line\\nfeed.ini: accepted\n"))
        << run.output;
    EXPECT_TRUE(contains(run.output, "plugin \"Esc\\x1b[2J\"")) << run.output;
    EXPECT_EQ(std::string::npos, run.output.find('\x1b'));
}

TEST(UnsafeCheck, CheckerNotRunAsRootJudgesAsRootWouldAndSaysSo) {
    SKIP_UNLESS_ROOT();
    zotest::tScratchDirectory directory;
    ASSERT_EQ(0, chmod(directory.path.c_str(), 0755));
    const std::string file = directory.add("alpha.ini", description("Alpha", kAlphaPlugin));
    ASSERT_EQ(0, chmod(file.c_str(), 0644));
    // The user's own description and library: root's checker and the
    // service refuse them, and so does the user's.
    const std::string ownLibrary = directory.path + "/own.so";
    zotest::writeFile(ownLibrary, zotest::readFile(kAnnouncingPlugin));
    const std::string own = directory.add("own.ini", description("Own", ownLibrary));
    for (const std::string& path : {own, ownLibrary}) {
        ASSERT_EQ(0, chown(path.c_str(), 12345, 12345));
        ASSERT_EQ(0, chmod(path.c_str(), 0644));
    }
    zotest::ServiceProcess probe({"--reuid=12345", "--regid=12345", "--clear-groups",
                                  ZO_TEST_CHECKER, "-h"},
                                 {}, "setpriv");
    const zotest::ProcessEnd probed = probe.wait();
    if (!probed.exited || probed.exitCode != 0) {
        GTEST_SKIP() << "uid 12345 cannot run the checker where it was built (a directory above "
                        "the build tree is closed to other users, as /root is): "
                     << probe.standardError();
    }
    const std::string note =
        "not run as root: judged as root would judge, trusting files owned by root alone, not "
        "those of uid 12345 that runs the checker";
    zotest::ServiceProcess checker(
        {"--reuid=12345", "--regid=12345", "--clear-groups", ZO_TEST_CHECKER, "--load", file, own},
        {}, "setpriv");
    const zotest::ProcessEnd end = checker.wait();
    EXPECT_TRUE(end.exited && end.exitCode == 1) << checker.standardError();
    const std::string output = checker.standardOutput();
    EXPECT_TRUE(contains(output, "Note: " + note + "\n")) << output;
    EXPECT_TRUE(contains(output, own + ": rejected")) << output;
    EXPECT_TRUE(contains(output, "\"Alpha\" (" + file + "): admitted")) << output;
}

}  // namespace
