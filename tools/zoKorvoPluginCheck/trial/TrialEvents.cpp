#include "TrialEvents.h"

#include <nlohmann/json.hpp>

namespace nPluginCheck {
namespace {

using Json = nlohmann::json;

const char* const kKindNames[] = {"begins",    "raised",  "ended", "checking", "leftovers",
                                  "abandoned", "escaped", "done",  "running",  "fault"};

const char* kindName(tTrialEventKind kind) {
    return kKindNames[static_cast<size_t>(kind)];
}

bool kindNamed(const std::string& name, tTrialEventKind& kind) {
    for (size_t i = 0; i < std::size(kKindNames); ++i) {
        if (name == kKindNames[i]) {
            kind = static_cast<tTrialEventKind>(i);
            return true;
        }
    }
    return false;
}

bool stepNamed(const std::string& name, tPluginStep& step) {
    for (tPluginStep candidate :
         {tPluginStep::initialize, tPluginStep::stop, tPluginStep::cleanup}) {
        if (name == pluginStepName(candidate)) {
            step = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string encodeTrialEvent(const tTrialEvent& event) {
    Json message = {{"event", kindName(event.kind)}, {"plugin", event.plugin}};
    switch (event.kind) {
        case tTrialEventKind::begins:
        case tTrialEventKind::raised:
        case tTrialEventKind::ended:
        case tTrialEventKind::checking:
            message["step"] = pluginStepName(event.step.step);
            message["code"] = event.step.code;
            message["timeMs"] = event.step.timeMs;
            message["exception"] = event.step.exception;
            message["ran"] = event.step.ran;
            message["findings"] = event.step.findings;
            if (event.opening) {
                message["opening"] = true;
            }
            break;
        case tTrialEventKind::leftovers:
            message["leftovers"] = event.leftovers;
            break;
        case tTrialEventKind::escaped:
            message["exception"] = event.step.exception;
            break;
        case tTrialEventKind::fault:
            if (event.plugin == kNoPlugin) {
                message.erase("plugin");
            }
            message["signal"] = event.signal;
            message["library"] = event.library;
            break;
        default:
            break;
    }
    // A plugin's exception text need not be UTF-8.
    return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool decodeTrialEvent(const std::string& line, tTrialEvent& event) {
    const Json message = Json::parse(line, nullptr, false);
    if (!message.is_object() || !message.contains("event") ||
        !kindNamed(message.value("event", ""), event.kind)) {
        return false;
    }
    try {
        event.plugin =
            message.value("plugin", event.kind == tTrialEventKind::fault ? kNoPlugin : size_t{0});
        if (message.contains("step") && !stepNamed(message.at("step"), event.step.step)) {
            return false;
        }
        event.step.code = message.value("code", int32_t{0});
        event.step.timeMs = message.value("timeMs", uint64_t{0});
        event.step.exception = message.value("exception", std::string());
        event.step.ran = message.value("ran", true);
        event.step.findings = message.value("findings", std::vector<std::string>());
        event.leftovers = message.value("leftovers", tLeftovers());
        event.opening = message.value("opening", false);
        event.signal = message.value("signal", 0);
        event.library = message.value("library", std::string());
    } catch (const Json::exception&) {
        return false;
    }
    return true;
}

}  // namespace nPluginCheck
