// zoKorvoPluginHost: the process of one isolated plugin. The service starts
// it afresh with posix_spawn (never a fork of the service, whose other
// threads may hold locks the plugin's code would then wait on for ever):
//
//   zoKorvoPluginHost PARENT_PID UID GID USER_NAME|- CHANGE_USER(0|1)
//
// with the channel as descriptor 3, its output as descriptors 1 and 2 and
// /dev/null as 0. Before any code of the plugin's is mapped it arranges to
// die with the service (PR_SET_PDEATHSIG, and a check that the service did
// not die before that), drops every other descriptor, takes the plugin's
// user with its groups and gives up any way to gain privileges. Then it
// opens the plugin's library with the service's own tPluginLibrary, under
// the loader's judge linked into this executable as into the service, and
// runs each step the service asks for over the channel. When the channel
// closes (the service is done with it) the library is closed and the process
// ends. Whatever the plugin does to its process (exit, a crash, a hang) the
// service sees from outside: nothing here tries to survive it.
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "pluginprocess/PluginChannel.h"
#include "plugins/tPluginLibrary.h"
#include "safety/LoaderJudgeLink.h"
#include "zoerr/Status.h"

namespace {

// Exit statuses of a host that could not become what it was asked to be;
// the service reports them as any exit during the load.
constexpr int kCannotArrange = 120;
constexpr int kCannotChangeUser = 121;

struct tHostArguments {
    pid_t parent = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string userName;
    bool changeUser = false;
};

bool parseArguments(int argc, char** argv, tHostArguments& arguments) {
    if (argc != 6) {
        return false;
    }
    arguments.parent = static_cast<pid_t>(strtol(argv[1], nullptr, 10));
    arguments.uid = static_cast<uid_t>(strtoul(argv[2], nullptr, 10));
    arguments.gid = static_cast<gid_t>(strtoul(argv[3], nullptr, 10));
    arguments.userName = std::string(argv[4]) == "-" ? "" : argv[4];
    arguments.changeUser = std::string(argv[5]) == "1";
    return true;
}

// The parent-death signal is tied to the thread of the service that spawned
// this process (its main thread, which lives as long as the service). Set
// after the exec; the service may have died in between, which getppid()
// then shows, since this process was handed to another parent.
bool dieWithTheService(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        return false;
    }
    return getppid() == parent;
}

// The supplementary groups first, while this process may still set them;
// the group before the user, for the same reason. A user that could take
// root back would have gained nothing.
bool becomeUser(const tHostArguments& arguments) {
    if (!arguments.changeUser) {
        return true;
    }
    const bool groupsSet = arguments.userName.empty()
                               ? setgroups(0, nullptr) == 0
                               : initgroups(arguments.userName.c_str(), arguments.gid) == 0;
    if (!groupsSet || setresgid(arguments.gid, arguments.gid, arguments.gid) != 0 ||
        setresuid(arguments.uid, arguments.uid, arguments.uid) != 0) {
        return false;
    }
    return arguments.uid == 0 || setuid(0) != 0;
}

tChannelAnswer answerOfRaised() {
    tChannelAnswer answer;
    try {
        // Called only inside a handler: this is what the plugin's step raised.
        // cppcheck-suppress rethrowNoCurrentException
        throw;
    } catch (const std::exception&) {
        answer.outcome = tChannelAnswer::tOutcome::raised;
        answer.code = zoerr::codeFromCurrentException();
    } catch (...) {
        answer.outcome = tChannelAnswer::tOutcome::foreign;
        answer.code = zoerr::kSoftwareFault;
    }
    return answer;
}

// One step as the service's manager runs it in its own process, mapped to
// an answer.
tChannelAnswer runStep(tPluginLibrary& plugin, tChannelRequest request,
                       const tPluginDescription& description) {
    tChannelAnswer answer;
    try {
        switch (request) {
            case tChannelRequest::load:
                plugin.load(description);
                answer.text = plugin.loadedFileName();
                break;
            case tChannelRequest::initialize:
                answer.code = plugin.initialize();
                break;
            case tChannelRequest::stop:
                plugin.stop();
                break;
            case tChannelRequest::cleanup:
                plugin.cleanup();
                break;
        }
    } catch (...) {
        answer = answerOfRaised();
        if (!plugin.refusal.empty()) {
            answer.outcome = tChannelAnswer::tOutcome::refused;
            answer.text = plugin.refusal;
        }
    }
    return answer;
}

}  // namespace

int main(int argc, char** argv) {
    tHostArguments arguments;
    if (!parseArguments(argc, argv, arguments) || !dieWithTheService(arguments.parent)) {
        return kCannotArrange;
    }
    // Whatever the service's process held that the spawn did not close.
    closefrom(kChannelDescriptor + 1);
    if (!becomeUser(arguments)) {
        return kCannotChangeUser;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return kCannotArrange;
    }
    // Judged as the service judges, whoever this process now runs as: a
    // file the plugin's user owns is still one root must not trust.
    tLoaderJudge& judge = tLoaderJudge::get();
    judge.trustRootAlone();
    judge.beginPass();
    tPluginLibrary plugin;
    tPluginDescription description;
    tChannelRequest request;
    while (receiveRequest(kChannelDescriptor, request, description)) {
        if (!sendAnswer(kChannelDescriptor, runStep(plugin, request, description))) {
            break;
        }
    }
    try {
        plugin.discard();
    } catch (const std::exception&) {
        // A library that cannot be closed ends with the process.
    }
    // Not exit(): the plugin's exit handlers are the plugin's, and its
    // library is closed already.
    _exit(0);
}
