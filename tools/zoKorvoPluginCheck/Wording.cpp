#include "Wording.h"

#include <cstdio>

#include "text/VisibleText.h"

namespace nPluginCheck {

std::string quoted(const std::string& text) {
    return "\"" + visible(text) + "\"";
}

std::string hexadecimal(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string counted(size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string enumeration(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += i == 0 ? "" : (i + 1 == items.size() ? " and " : ", ");
        text += items[i];
    }
    return text;
}

}  // namespace nPluginCheck
