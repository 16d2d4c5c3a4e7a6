// The paths of the test plugins built from tests/testplugins/testplugin.c, for a
// test target that zo_use_test_plugins gave all of them. What each plugin
// exports and does is set in tests/testplugins/CMakeLists.txt:
//   alpha    AlphaInit, AlphaStop, AlphaCleanup; Initialize returns 0
//   beta     BetaInit, BetaStop, BetaCleanup; Initialize returns 3
//   gamma    GammaInit, GammaStop, GammaCleanup; Initialize returns 0
//   failing  FailingInit, FailingStop, FailingCleanup; Initialize returns -7
//   slow     SlowInit, SlowStop, SlowCleanup; Stop pauses 30 ms
//   plain    no entry point at all
//   announcing  AnnouncingInit, AnnouncingStop, AnnouncingCleanup; its
//            constructor logs "announcing Constructor"
#ifndef ZO_TESTS_TESTPLUGINS_H
#define ZO_TESTS_TESTPLUGINS_H

#include <string>

namespace zotest {
namespace plugins {

const std::string kAlphaPlugin = ZO_TEST_PLUGIN_alpha;
const std::string kBetaPlugin = ZO_TEST_PLUGIN_beta;
const std::string kGammaPlugin = ZO_TEST_PLUGIN_gamma;
const std::string kFailingPlugin = ZO_TEST_PLUGIN_failing;
const std::string kSlowPlugin = ZO_TEST_PLUGIN_slow;
const std::string kPlainPlugin = ZO_TEST_PLUGIN_plain;
#ifdef ZO_TEST_PLUGIN_announcing
const std::string kAnnouncingPlugin = ZO_TEST_PLUGIN_announcing;
#endif

}  // namespace plugins
}  // namespace zotest

#endif  // ZO_TESTS_TESTPLUGINS_H
