// The libraries of the loader's judge's tests (tests/plugins/CMakeLists.txt),
// for a test target that zo_use_attack_libraries (tests/e2e) gave them:
//   needy        NeedyInit; needs libzo_test_needed.so through its run path
//                $ORIGIN/needed
//   needed       what needy needs (NeededInit)
//   originNeedy  OriginNeedyInit; needs "$ORIGIN/ext/libzo_test_ext.so"
//   ext          what originNeedy needs (ExtInit)
//   auxiliary    AuxiliaryInit; optional filter libzo_test_filtee.so, run
//                path $ORIGIN/filters
//   filtered     FilteredInit; required filter libzo_test_filtee.so, same run path
//   impostors    the attacker's stand-ins exporting NeededInit or ExtInit; their
//                constructors log "impostor Constructor"
// Each constructor but the impostors' logs "<name> Constructor".
#ifndef ZO_TESTS_ATTACKLIBRARIES_H
#define ZO_TESTS_ATTACKLIBRARIES_H

#include <string>

namespace zotest {
namespace attack {

const std::string kAnnouncing = ZO_TEST_PLUGIN_announcing;
const std::string kNeedy = ZO_TEST_PLUGIN_needy;
const std::string kNeeded = ZO_TEST_NEEDED_LIBRARY;
const std::string kOriginNeedy = ZO_TEST_PLUGIN_originNeedy;
const std::string kExt = ZO_TEST_EXT_LIBRARY;
const std::string kAuxiliary = ZO_TEST_PLUGIN_auxiliary;
const std::string kFiltered = ZO_TEST_PLUGIN_filtered;
const std::string kImpostorNeeded = ZO_TEST_IMPOSTOR_NeededInit;
const std::string kImpostorExt = ZO_TEST_IMPOSTOR_ExtInit;

}  // namespace attack
}  // namespace zotest

#endif  // ZO_TESTS_ATTACKLIBRARIES_H
