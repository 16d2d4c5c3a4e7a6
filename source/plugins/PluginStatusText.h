// The plugin status text: one block per plugin record, in start order, as
// the status file shows it after the service's own lines. Each block names
// the plugin and what it depends on, where its library was loaded from, what
// it requires, and each step that took at least 1 ms or ended with a non-zero
// code. Text from description files is made visible (VisibleText.h) so that
// no control character reaches the file.
// Pure functions of the records; nothing here throws but std::bad_alloc.
#ifndef ZOKORVO_PLUGINSTATUSTEXT_H
#define ZOKORVO_PLUGINSTATUSTEXT_H

#include <string>
#include <vector>

#include "plugins/tPluginRecord.h"

// The plugin status text of `records`, returned or appended: the status file
// is built in one string.
std::string renderPluginStatus(const std::vector<tPluginRecord>& records);
void appendPluginStatus(std::string& text, const std::vector<tPluginRecord>& records);

#endif  // ZOKORVO_PLUGINSTATUSTEXT_H
