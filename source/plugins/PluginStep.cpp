#include "plugins/PluginStep.h"

const char* pluginStepName(tPluginStep step) {
    switch (step) {
        case tPluginStep::stop:
            return "Stop";
        case tPluginStep::cleanup:
            return "Cleanup";
        default:
            return "Initialize";
    }
}
