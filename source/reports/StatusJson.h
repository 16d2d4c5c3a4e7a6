// The JSON twin of the status file: everything the text holds, and what it
// cannot (schema version, process, phase, times, the deployment answer,
// messages and steps as objects), for programs to read.
//
// renderStatusJson() renders one report; the service writes the result
// beside the text file with the same atomic write, at the same moments.
// The shape is numbered by kStatusJsonSchema, and the JSON Schema shipped with the
// documentation (zoKorvoRemoteService.status.schema.json) describes it; a
// change of shape that a reader could trip over takes a new version.
// Pure: thread-safe, nothing throws but std::bad_alloc.
#ifndef ZOKORVO_REPORTS_STATUSJSON_H
#define ZOKORVO_REPORTS_STATUSJSON_H

#include <string>

#include "reports/ServiceReport.h"

// The name of the JSON status in the status directory.
extern const char kStatusJsonFileName[];

// The "schema" member of the JSON status.
// 2: the last reload, and each plugin's part in it.
constexpr int kStatusJsonSchema = 2;

// One JSON object, ending in a line feed. Text that is not valid UTF-8
// holds U+FFFD where the bytes were (see TextEscaping.h).
std::string renderStatusJson(const tServiceReport& report);
// The same object appended to `text`, which a caller may keep from one
// write to the next so that its storage is reused.
void appendStatusJson(std::string& text, const tServiceReport& report);

#endif  // ZOKORVO_REPORTS_STATUSJSON_H
