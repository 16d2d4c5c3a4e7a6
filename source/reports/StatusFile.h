// The status file: the report an administrator reads, and the atomic write
// that replaces the file as a whole.
//
// composeStatusReport() builds the text from the service's state at one
// moment; writeFileAtomically() writes it beside the final file and renames it
// over the final one, so a reader finds either the previous text or the
// complete new one, never a missing or partial file. The temporary file is
// created afresh with mode 0644, so a link planted at either name never
// leads to a write anywhere else. The directory belongs to the
// installation: it is never created here.
// Failures: writeFileAtomically() throws zoerr::Exception with -52026
// (temporary file cannot be created, rename fails) or -52008 (a write that
// makes no progress, close failure); the previous status file then stays as it was.
// Not thread-safe: the service writes from its main thread only.
#ifndef ZOKORVO_STATUSFILE_H
#define ZOKORVO_STATUSFILE_H

#include <cstdint>
#include <ctime>
#include <string>

// The name of the status file inside the status directory.
extern const char kStatusFileName[];

// The report line by line: title, "Updated:" with the ctime(3) text of `now`,
// "Allowed:", "Init Time" when measured, an empty line, `messages`, and the
// plugin status text, which always comes last: a caller may pass it empty
// and append it to the result.
std::string composeStatusReport(uint32_t capabilityMask, uint64_t initTimeMs,
                                const std::string& messages, const std::string& pluginText,
                                time_t now);
// The same lines up to `messages` included, appended to `report`: the
// plugin status text follows them.
void appendStatusHead(std::string& report, uint32_t capabilityMask, uint64_t initTimeMs,
                      const std::string& messages, time_t now);

// Writes `text`, with its carriage returns removed, to directory/name
// through the temporary file directory/.name.tmp (removed and created anew)
// and a rename.
void writeFileAtomically(const std::string& directory, const std::string& name, std::string& text);
// The same write into the directory open as `directory` (an O_PATH
// descriptor will do), which it closes; -1 fails as a missing directory.
void writeFileAtomicallyAt(int directory, const std::string& name, std::string& text);
// The same write into the open `directory`, which stays open, so that
// several files are written through one open of their directory.
void writeFileAtomicallyIn(int directory, const std::string& name, std::string& text);

// Opens the absolute `directory` as O_PATH, walking from / one name at a
// time without following any link, so that nobody who can replace a
// directory on the way with a link can make root write elsewhere. "." is
// skipped; ".." and relative paths are refused (EINVAL). -1 with errno on
// failure; the caller closes the descriptor.
int openDirectoryWithoutLinks(const std::string& directory);

#endif  // ZOKORVO_STATUSFILE_H
