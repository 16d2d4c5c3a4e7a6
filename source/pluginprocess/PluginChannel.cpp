#include "pluginprocess/PluginChannel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

// The largest datagram either side sends: four paths and names, or a
// refusal's reason.
constexpr size_t kMaxDatagram = 65536;

bool sendDatagram(int channel, const std::string& datagram) {
    for (;;) {
        const ssize_t sent = send(channel, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<size_t>(sent) == datagram.size();
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

bool receiveDatagram(int channel, std::string& datagram) {
    datagram.resize(kMaxDatagram);
    for (;;) {
        const ssize_t received = recv(channel, &datagram[0], datagram.size(), 0);
        if (received > 0) {
            datagram.resize(static_cast<size_t>(received));
            return true;
        }
        if (received == 0 || errno != EINTR) {
            return false;  // the other end is gone
        }
    }
}

// The NUL-separated fields after the first `skip` bytes.
std::vector<std::string> fieldsOf(const std::string& datagram, size_t skip) {
    std::vector<std::string> fields;
    size_t at = skip;
    while (at <= datagram.size()) {
        const size_t end = std::min(datagram.find('\0', at), datagram.size());
        fields.push_back(datagram.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

}  // namespace

bool sendRequest(int channel, tChannelRequest request, const tPluginDescription* description) {
    std::string datagram(1, static_cast<char>(request));
    if (description != nullptr) {
        for (const std::string* field : {&description->path, &description->initializeSymbol,
                                         &description->stopSymbol, &description->cleanupSymbol}) {
            datagram += *field;
            datagram += '\0';
        }
    }
    return sendDatagram(channel, datagram);
}

bool receiveRequest(int channel, tChannelRequest& request, tPluginDescription& description) {
    std::string datagram;
    if (!receiveDatagram(channel, datagram)) {
        return false;
    }
    request = static_cast<tChannelRequest>(datagram[0]);
    if (request == tChannelRequest::load) {
        const std::vector<std::string> fields = fieldsOf(datagram, 1);
        if (fields.size() < 4) {
            return false;
        }
        description.path = fields[0];
        description.initializeSymbol = fields[1];
        description.stopSymbol = fields[2];
        description.cleanupSymbol = fields[3];
    }
    return true;
}

bool sendAnswer(int channel, const tChannelAnswer& answer) {
    std::string datagram(1, static_cast<char>(answer.outcome));
    char code[sizeof answer.code];
    memcpy(code, &answer.code, sizeof code);
    datagram.append(code, sizeof code);
    datagram += answer.text;
    return sendDatagram(channel, datagram);
}

bool receiveAnswer(int channel, tChannelAnswer& answer) {
    std::string datagram;
    if (!receiveDatagram(channel, datagram) || datagram.size() < 1 + sizeof answer.code) {
        return false;
    }
    answer.outcome = static_cast<tChannelAnswer::tOutcome>(datagram[0]);
    memcpy(&answer.code, &datagram[1], sizeof answer.code);
    answer.text = datagram.substr(1 + sizeof answer.code);
    return true;
}
