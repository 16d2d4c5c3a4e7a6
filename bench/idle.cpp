// The reference for the service's idle memory: the smallest C++ program that
// loads the libraries the service loads (Boost.Filesystem and Boost.System,
// the system configuration library, pthread, dl) and then waits for SIGTERM.
//
// Each library is referenced from a branch that never runs, so that the link
// keeps it as needed even where the linker drops unused libraries; the
// program itself does nothing else.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>

#include "zosysapi.h"

namespace {

void* doNothing(void*) {
    return nullptr;
}

void referenceEveryLibrary() {
    boost::system::error_code error;
    (void)boost::filesystem::status(boost::filesystem::path("/"), error);
    zosysFramework* framework = nullptr;
    (void)zosysInstantiateFramework2(0, 0, &framework);
    (void)dlopen(nullptr, RTLD_NOW);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, doNothing, nullptr) == 0) {
        pthread_join(thread, nullptr);
    }
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1000) {
        referenceEveryLibrary();
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    int caught = 0;
    sigwait(&stopSignals, &caught);
    signal(caught, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
    raise(caught);
    return 0;
}
