// tPluginStep: the three steps of a plugin's life, and their names as a
// person reads them. The plugin manager runs them, its observers are told of
// them, the step board shows them and the checker reports them; all of them
// name a step through this one enum and pluginStepName().
// Nothing here fails or keeps state; everything is thread-safe.
#ifndef ZOKORVO_PLUGINSTEP_H
#define ZOKORVO_PLUGINSTEP_H

// The three steps of a plugin, in the order of its life.
enum class tPluginStep { initialize, stop, cleanup };

// "Initialize", "Stop" or "Cleanup": the step as a person reads it.
const char* pluginStepName(tPluginStep step);

#endif  // ZOKORVO_PLUGINSTEP_H
