/*
 * The plugin author kit's header under the name an author includes it by,
 * #include <zoKorvoRemoteService/zoKorvoPlugin.h>, for a plugin built against
 * this source tree (add plugin-kit/include to the include path, or use
 * plugin-kit/zoKorvoPlugin.cmake). An installation puts the header itself
 * under that name.
 */
#include "../../zoKorvoPlugin.h"
