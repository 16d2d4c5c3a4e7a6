// The deployment query against the stand-in system configuration library, as
// the service loads it, with the pause between attempts recorded instead of
// slept. Also the stand-in's own promises: it rejects values the service never
// passes and traces one line per call with the references still held.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "system/DeploymentPermission.h"

namespace zotest {
namespace {

using zoKorvoRemoteService::CannotInitSystemFramework;
using zoKorvoRemoteService::DeploymentSettingNotFound;
using zoKorvoRemoteService::isDeploymentAllowed;
using zoKorvoRemoteService::systemDeploymentQuerySeams;
using zoKorvoRemoteService::tDeploymentQuerySeams;

class StandinQuery : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"ZOSYSAPI_DEPLOYMENT", "ZOSYSAPI_FAIL_ATTEMPTS", "ZOSYSAPI_SETTING_ERROR"}) {
            unsetenv(name);
        }
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        tracePath = std::string(ZO_TEST_BINARY_DIR) + "/standin." + test->name() + "." +
                    std::to_string(getpid()) + ".trace";
        std::remove(tracePath.c_str());
        setenv("ZOSYSAPI_TRACE", tracePath.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZOSYSAPI_TRACE");
        std::remove(tracePath.c_str());
    }

    // The library's entry point with the pause recorded.
    tDeploymentQuerySeams recordingSeams() {
        tDeploymentQuerySeams seams = systemDeploymentQuerySeams();
        seams.pause = [this](uint32_t ms) { pauses.push_back(ms); };
        return seams;
    }

    static std::vector<std::string> linesOf(const std::string& path) {
        std::ifstream file(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::vector<std::string> traceLines() const { return linesOf(tracePath); }

    // The " live=N" count ending each trace line.
    std::vector<int> liveCounts() const {
        std::vector<int> counts;
        for (const std::string& line : traceLines()) {
            const auto at = line.rfind(" live=");
            counts.push_back(at == std::string::npos ? -1 : std::stoi(line.substr(at + 6)));
        }
        return counts;
    }

    int lastLiveCount() const {
        const std::vector<int> counts = liveCounts();
        return counts.empty() ? -1 : counts.back();
    }

    std::string tracePath;
    std::vector<uint32_t> pauses;
};

TEST_F(StandinQuery, SettingValueDecidesTheAnswer) {
    const std::pair<const char*, bool> cases[] = {
        {nullptr, true}, {"1", true}, {"0", false}, {"-5", true}};
    for (const auto& [deployment, allowed] : cases) {
        SCOPED_TRACE(deployment ? deployment : "unset");
        if (deployment) {
            setenv("ZOSYSAPI_DEPLOYMENT", deployment, 1);
        }
        EXPECT_EQ(isDeploymentAllowed(recordingSeams()), allowed);
        EXPECT_TRUE(pauses.empty());
        EXPECT_EQ(lastLiveCount(), 0);
    }
}

TEST_F(StandinQuery, TracesEveryCallWithTheReferencesStillHeld) {
    EXPECT_TRUE(isDeploymentAllowed(recordingSeams()));
    // instantiate, create and configure parameters, connect, get settings, keep
    // the framework, release connection, parameters and the attempt's framework,
    // read, release settings and the kept framework.
    EXPECT_EQ(liveCounts(), (std::vector<int>{1, 2, 2, 3, 4, 5, 4, 3, 2, 2, 1, 0}));
    EXPECT_TRUE(std::regex_match(
        traceLines().front(),
        std::regex(R"(zosysInstantiateFramework2\(1, 0\) = 0 -> framework#[0-9]+ live=1)")))
        << traceLines().front();
}

TEST_F(StandinQuery, TraceNeverFollowsALinkNorWritesAnotherOwnersFile) {
    const std::string target = tracePath + ".target";
    std::ofstream(target) << "kept\n";
    ASSERT_EQ(0, symlink(target.c_str(), tracePath.c_str()));
    EXPECT_TRUE(isDeploymentAllowed(recordingSeams()));
    EXPECT_EQ((std::vector<std::string>{"kept"}), linesOf(target));
    std::remove(target.c_str());
    std::remove(tracePath.c_str());
    if (geteuid() == 0) {
        std::ofstream(tracePath) << "";
        ASSERT_EQ(0, chown(tracePath.c_str(), 12345, static_cast<gid_t>(-1)));
        EXPECT_TRUE(isDeploymentAllowed(recordingSeams()));
        EXPECT_TRUE(traceLines().empty()) << "a file of uid 12345 gets no line of root's";
    }
}

TEST_F(StandinQuery, FailingEntryPointIsRetriedWithAPauseAfterEachFailure) {
    struct tCase {
        const char* failAttempts;
        size_t pauses;
        bool reached;
    };
    // Run in sequence in one process: each query meets the same pattern.
    const tCase cases[] = {{"2", 2, true},  {"2", 2, true},     {"6", 6, true},
                           {"7", 7, false}, {"1000", 7, false}, {"1", 1, true}};
    for (const tCase& c : cases) {
        SCOPED_TRACE(c.failAttempts);
        setenv("ZOSYSAPI_FAIL_ATTEMPTS", c.failAttempts, 1);
        pauses.clear();
        if (c.reached) {
            EXPECT_TRUE(isDeploymentAllowed(recordingSeams()));
        } else {
            EXPECT_THROW(isDeploymentAllowed(recordingSeams()), CannotInitSystemFramework);
        }
        EXPECT_EQ(pauses, std::vector<uint32_t>(c.pauses, 10000));
        EXPECT_EQ(lastLiveCount(), 0);
    }
}

TEST_F(StandinQuery, UnreadableSettingThrowsDeploymentSettingNotFound) {
    const std::pair<const char*, const char*> cases[] = {{"ZOSYSAPI_SETTING_ERROR", "1"},
                                                         {"ZOSYSAPI_DEPLOYMENT", "yes"}};
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        setenv(name, value, 1);
        EXPECT_THROW(isDeploymentAllowed(recordingSeams()), DeploymentSettingNotFound);
        EXPECT_EQ(lastLiveCount(), 0);
        unsetenv(name);
    }
}

TEST_F(StandinQuery, PlainQueryUsesTheLinkedLibrary) {
    EXPECT_TRUE(isDeploymentAllowed());
    setenv("ZOSYSAPI_DEPLOYMENT", "0", 1);
    EXPECT_FALSE(isDeploymentAllowed());
    EXPECT_EQ(lastLiveCount(), 0);
}

TEST_F(StandinQuery, StandinRejectsValuesTheServiceNeverPasses) {
    zosysFramework* framework = nullptr;
    EXPECT_NE(zosysInstantiateFramework2(2, 0, &framework), 0);
    EXPECT_NE(zosysInstantiateFramework2(1, 1, &framework), 0);
    EXPECT_EQ(framework, nullptr);
    ASSERT_EQ(zosysInstantiateFramework2(1, 0, &framework), 0);
    const auto* ops = framework->operations;

    zosysParameters* parameters = nullptr;
    ASSERT_EQ(ops->createParameters(framework, &parameters), 0);
    zosysConnection* connection = nullptr;
    EXPECT_NE(ops->openConnection(framework, L"//localhost", 1, parameters, &connection), 0)
        << "an unconfigured parameter object is refused";
    EXPECT_NE(parameters->operations->configure(parameters, 0x103A000, 5), 0);
    ASSERT_EQ(parameters->operations->configure(parameters, 0x103A000, 4), 0);
    EXPECT_NE(ops->openConnection(framework, L"//otherhost", 1, parameters, &connection), 0);
    EXPECT_NE(ops->openConnection(framework, L"//localhost", 2, parameters, &connection), 0);
    EXPECT_EQ(connection, nullptr);
    ASSERT_EQ(ops->openConnection(framework, L"//localhost", 1, parameters, &connection), 0);

    zosysSettings* settings = nullptr;
    int32_t reserved = 0;
    EXPECT_NE(connection->operations->getSettings(connection, 2, &settings, &reserved), 0);
    reserved = 1;
    EXPECT_NE(connection->operations->getSettings(connection, 1, &settings, &reserved), 0);
    reserved = 0;
    ASSERT_EQ(connection->operations->getSettings(connection, 1, &settings, &reserved), 0);
    int32_t value = 0;
    EXPECT_NE(settings->operations->readSetting(settings, 0x13000001, &value), 0);
    EXPECT_NE(settings->operations->unused3to14[0](settings), 0);
    EXPECT_NE(ops->unused5to9[0](framework), 0);

    const zosysInterfaceId otherInterface = {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const zosysInterfaceId baseInterface = ZOSYS_BASE_INTERFACE_ID_INIT;
    void* answer = &value;
    EXPECT_LT(ops->queryInterface(framework, &otherInterface, &answer), 0);
    EXPECT_EQ(answer, nullptr);
    ASSERT_EQ(ops->queryInterface(framework, &baseInterface, &answer), 0);
    EXPECT_EQ(answer, framework);
    EXPECT_EQ(lastLiveCount(), 5) << "the answer carries an added reference";

    ops->releaseReference(framework);
    settings->operations->releaseReference(settings);
    connection->operations->releaseReference(connection);
    parameters->operations->releaseReference(parameters);
    EXPECT_EQ(ops->releaseReference(framework), 0u);
    EXPECT_EQ(lastLiveCount(), 0);
}

}  // namespace
}  // namespace zotest
