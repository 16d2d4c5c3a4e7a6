// Why the loader keeps a plugin's library mapped after its close, read from
// the library file itself, with what its author can do about it.
//
// A library stays mapped when it defines GNU unique symbols (GCC makes them
// of the static data of templates and inline functions, std::to_string's
// among them, unless built with -fno-gnu-unique), when it is marked never to
// be unloaded (DF_1_NODELETE, -z nodelete), or when another library still
// mapped needs it or binds to its symbols. The file is read, never loaded.
// A free function with no state; safe from any thread; nothing throws but
// std::bad_alloc.
#ifndef ZOKORVO_PLUGINCHECK_UNLOADHINDRANCE_H
#define ZOKORVO_PLUGINCHECK_UNLOADHINDRANCE_H

#include <string>

namespace nPluginCheck {

// The reason and its fix, for a person; a file that cannot be read as a
// 64-bit ELF object gets the reason that another library holds it.
std::string whyStillMapped(const std::string& libraryFile);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_UNLOADHINDRANCE_H
