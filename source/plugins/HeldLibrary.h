// Whether the dynamic loader still holds an old copy of a library whose file
// has since been replaced. The loader matches a name it is given against the
// names of the objects it holds before it looks at any file, so opening the
// path of a replaced library whose old copy is still mapped (a thread of it
// runs, it is marked never to be unloaded, another plugin holds it) hands
// back the old code: a plugin must not be started from it as its new version.
//
// Free function without state; it reads /proc/self/maps only when the loader
// holds an object of that name, and then maps one page of the file now at
// the object's path for a moment, so that both files are named as the maps
// name them. Nothing here throws but std::bad_alloc.
#ifndef ZOKORVO_PLUGINS_HELDLIBRARY_H
#define ZOKORVO_PLUGINS_HELDLIBRARY_H

#include <string>

// True when the loader holds an object under `loaderName` (the name the
// plugin's library would be opened by) and the file mapped for it is not
// the file now found at the object's own path.
bool loaderHoldsReplacedCopy(const std::string& loaderName);

#endif  // ZOKORVO_PLUGINS_HELDLIBRARY_H
