/*
 * The Deployer example plugin, in C: a plugin that needs the deployment
 * capability. Its description file says Requires=2, so the service starts it
 * only where the system configuration allows remote deployment and refuses it
 * with -52002 elsewhere. It depends on the Clock and names no Cleanup entry
 * point: the service runs its own do-nothing default instead.
 *
 * Description file: deployer.ini (Name=Deployer, Dependencies=Clock,
 * Requires=2).
 */
#include <zoKorvoRemoteService/zoKorvoPlugin.h>

#include "exampleJournal.h"

ZO_KORVO_PLUGIN_INITIALIZE(zoExampleDeployerInitialize) {
    zoExampleJournal("Deployer: remote deployment is allowed");
    return ZO_KORVO_PLUGIN_SUCCESS;
}

ZO_KORVO_PLUGIN_STOP(zoExampleDeployerStop) {
    zoExampleJournal("Deployer: stopped");
}
