#include "safety/LoaderTokens.h"

#include <limits.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstring>

#ifndef ZO_LOADER_LIB
#error "ZO_LOADER_LIB names the loader's library directory, as $LIB expands"
#endif

namespace {

// The length of the token `token` at `at` (just after a '$'), braces
// included; 0 when there is none.
size_t tokenLength(const std::string& name, size_t at, const char* token) {
    const size_t length = strlen(token);
    if (at < name.size() && name[at] == '{') {
        return name.compare(at + 1, length, token) == 0 && at + 1 + length < name.size() &&
                       name[at + 1 + length] == '}'
                   ? length + 2
                   : 0;
    }
    if (name.compare(at, length, token) != 0) {
        return 0;
    }
    const size_t end = at + length;
    return end == name.size() || name[end] == '/' ? length : 0;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return "";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string programOrigin() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? directoryOf(std::string(buffer, static_cast<size_t>(length))) : "";
}

}  // namespace

tLoaderTokens loaderTokensFor(const std::string& objectName) {
    tLoaderTokens values;
    if (objectName.empty()) {
        values.origin = programOrigin();
    } else if (objectName[0] == '/') {
        // The loader keeps the directory of the name it opened the object
        // by, links not followed.
        values.origin = directoryOf(objectName);
    } else {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof buffer) != nullptr) {
            values.origin = directoryOf(std::string(buffer) + "/" + objectName);
        }
    }
    values.lib = ZO_LOADER_LIB;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the kernel's auxiliary vector holds addresses
    const char* const platform = reinterpret_cast<const char*>(getauxval(AT_PLATFORM));
    values.platform = platform != nullptr ? platform : "";
    return values;
}

bool hasLoaderToken(const std::string& name) {
    return name.find('$') != std::string::npos;
}

bool expandLoaderTokens(const std::string& name, const tLoaderTokens& values,
                        std::string& expanded) {
    expanded.clear();
    const struct {
        const char* token;
        const std::string* value;
    } tokens[] = {{"ORIGIN", &values.origin}, {"LIB", &values.lib}, {"PLATFORM", &values.platform}};
    for (size_t at = 0; at < name.size(); ++at) {
        if (name[at] != '$') {
            expanded += name[at];
            continue;
        }
        size_t length = 0;
        const std::string* value = nullptr;
        for (const auto& token : tokens) {
            if ((length = tokenLength(name, at + 1, token.token)) != 0) {
                value = token.value;
                break;
            }
        }
        if (value == nullptr) {
            expanded += '$';
            continue;
        }
        if (value->empty()) {
            return false;
        }
        expanded += *value;
        at += length;
    }
    return true;
}
