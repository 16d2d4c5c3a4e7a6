// The fixed paths of the system, chosen when the executable is built.
//
// The installed service uses the system's own paths; the test variant of the
// executable is built with paths inside the build tree. Nothing at run time
// changes them but, in the test variant alone, the slot of the test that runs
// it (TestSlot.h). Only FixedPaths.cpp defines them.
#ifndef ZOKORVO_FIXEDPATHS_H
#define ZOKORVO_FIXEDPATHS_H

// The directory that holds the status file.
extern const char* const kStatusDirectory;

// The journal's native socket, where the service sends its records when its
// standard error is the journal.
extern const char* const kJournalSocket;

// The executable that hosts an isolated plugin's process; "$ORIGIN/" at its
// start stands for the directory of the service's own executable.
extern const char* const kPluginHost;

// The environment variable through which the test variant's tests shorten
// the deployment query's pause after a failed attempt (whole milliseconds);
// null in every other variant, which always pauses the full time.
extern const char* const kDeploymentPauseVariable;

#endif  // ZOKORVO_FIXEDPATHS_H
