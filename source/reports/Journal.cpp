#include "reports/Journal.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

const char* journalMessageId(tJournalEvent event) {
    switch (event) {
        case tJournalEvent::serviceStarted:
            return "5bd94d6f18d446859e6dbdb69a5471eb";
        case tJournalEvent::deploymentAnswer:
            return "a69a49649e6243d8a658c4e2c4671633";
        case tJournalEvent::descriptionRejected:
            return "00504c009fda4b238f2eebe12953ca9c";
        case tJournalEvent::pluginNotStarted:
            return "2db652166d1d4105ba179c72de5e6f83";
        case tJournalEvent::pluginException:
            return "d5477fe89b294e2bbf1db7e09d52251d";
        case tJournalEvent::startSummary:
            return "61d94eacb3b34f8684bd3cffb165bf53";
        case tJournalEvent::serviceStopping:
            return "3a79eee9beec4aada33bf20cbcd8f28b";
        case tJournalEvent::stepFailed:
            return "75d88a0b704d439a8777cb5643306911";
        case tJournalEvent::reloadSummary:
            return "cb7cd36ca4724315a8eddf221626f559";
        case tJournalEvent::reloadFailed:
            return "41baa7adafee4ee88a3ca52ae15c662e";
        case tJournalEvent::metricsWriteFailed:
            return "6b48792b2abb4d1097f80c5212c00a7b";
        case tJournalEvent::libraryOverwritten:
            return "1688cba20c9345e7a3d28298a5c516f2";
        case tJournalEvent::pluginExited:
            return "9e4f0b7c2d6a4c1f8b3e5a7d0c2f4e61";
        case tJournalEvent::pluginCrashed:
            return "4c7a2e9f1b8d4f6a9e3c5b7d1a0f2e83";
        case tJournalEvent::pluginOutput:
            return "daf81b5d5cda4cb88df771b55f5ea17a";
        case tJournalEvent::pluginProcessEnded:
            return "7caae2fa161d4e29a020e290aaaecd6a";
        case tJournalEvent::pluginProcessRestarted:
            return "c936401badb84eaabfe13324722f206a";
        case tJournalEvent::pluginProcessGivenUp:
            return "ebebc18f196b47f083f0837e49f2fa6c";
        case tJournalEvent::serviceEnded:
            break;
    }
    return "1c01f663869d494392d0bde96a5dd460";
}

tJournalRecord::tJournalRecord(tJournalEvent event, tJournalPriority priority,
                               const std::string& message) {
    field("MESSAGE", message);
    field("PRIORITY", std::to_string(static_cast<int>(priority)));
    field("MESSAGE_ID", journalMessageId(event));
    field("SYSLOG_IDENTIFIER", "zoKorvoRemoteService");
}

tJournalRecord& tJournalRecord::field(const char* name, const std::string& value) {
    text += name;
    if (value.find('\n') == std::string::npos) {
        text += '=';
        text += value;
        text += '\n';
        return *this;
    }
    // The binary form: the name, a line feed, the value's length as a
    // little-endian 64-bit number, the value, a line feed.
    text += '\n';
    uint64_t length = value.size();
    for (int i = 0; i < 8; ++i) {
        text += static_cast<char>(length & 0xFF);
        length >>= 8;
    }
    text += value;
    text += '\n';
    return *this;
}

std::unique_ptr<tJournal> tJournal::createWhenStderrIsJournal(const std::string& socketPath) {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat standardError {};
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (stream == nullptr || sscanf(stream, "%llu:%llu", &device, &inode) != 2 ||
        fstat(STDERR_FILENO, &standardError) != 0 || standardError.st_dev != device ||
        standardError.st_ino != inode) {
        return nullptr;
    }
    return std::make_unique<tJournal>(socketPath);
}

tJournal::tJournal(const std::string& socketPath) : socket(socketPath) {}

void tJournal::send(const tJournalRecord& record) noexcept {
    const std::string& datagram = record.datagram();
    if (!socket.send(datagram.data(), datagram.size())) {
        ++dropped;
    }
}
