// Small pieces of wording shared by the checks and the report, so that a
// name, a mask or a list reads the same everywhere. Pure functions; only
// std::bad_alloc leaves.
#ifndef ZOKORVO_PLUGINCHECK_WORDING_H
#define ZOKORVO_PLUGINCHECK_WORDING_H

#include <cstdint>
#include <string>
#include <vector>

namespace nPluginCheck {

// The text in double quotes, its control characters escaped (VisibleText.h).
std::string quoted(const std::string& text);

// As the status file's "Allowed:" line writes a mask: "0xfffffffd".
std::string hexadecimal(uint32_t value);

// "1 file", "2 files".
std::string counted(size_t count, const std::string& noun);

// "a", "a and b", "a, b and c".
std::string enumeration(const std::vector<std::string>& items);

}  // namespace nPluginCheck

#endif  // ZOKORVO_PLUGINCHECK_WORDING_H
