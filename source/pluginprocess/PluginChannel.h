// The channel between the service and an isolated plugin's process: one
// SOCK_SEQPACKET socket pair, one request and one answer per step, each a
// single datagram, so that no message is ever read in part.
//
// A request is one letter and, for the load, the library's path and the
// three entry-point names: 'L' load, 'I' Initialize, 'S' Stop, 'C' Cleanup.
// The answer carries the step's code, how the step ended and a text: the
// file the loader mapped after a load, or why the loader's judge refused it.
// The plugin's process holds its end as descriptor 3 (kChannelDescriptor).
// Nothing here keeps state; sending never raises SIGPIPE. Failures are
// returned as false: a channel that breaks means that its process ended.
#ifndef ZOKORVO_PLUGINCHANNEL_H
#define ZOKORVO_PLUGINCHANNEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/tPluginDescription.h"

constexpr int kChannelDescriptor = 3;

enum class tChannelRequest : char { load = 'L', initialize = 'I', stop = 'S', cleanup = 'C' };

struct tChannelAnswer {
    enum class tOutcome : char {
        returned = 'r',  // the step returned; `code` is Initialize's result (else 0)
        raised = 'x',    // a standard exception left it; `code` is its mapped code
        foreign = 'f',   // something that is no standard exception left it
        refused = 'u',   // the loader's judge refused a file of the load; `text` says why
    };
    tOutcome outcome = tOutcome::returned;
    int32_t code = 0;
    std::string text;
};

// The load's request carries the path and the entry points' names.
bool sendRequest(int channel, tChannelRequest request,
                 const tPluginDescription* description = nullptr);
bool receiveRequest(int channel, tChannelRequest& request, tPluginDescription& description);
bool sendAnswer(int channel, const tChannelAnswer& answer);
bool receiveAnswer(int channel, tChannelAnswer& answer);

#endif  // ZOKORVO_PLUGINCHANNEL_H
