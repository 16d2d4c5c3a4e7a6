#include "reports/StatusFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "zoerr/Status.h"

const char kStatusFileName[] = "zoKorvoRemoteService.status";

namespace {

// Closes a descriptor when the scope ends, however it ends.
class tDescriptor {
  public:
    explicit tDescriptor(int held) : descriptor(held) {}
    ~tDescriptor() {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    int get() const { return descriptor; }
    // Hands the descriptor over, to be closed by the caller.
    int release() {
        const int held = descriptor;
        descriptor = -1;
        return held;
    }
    tDescriptor(const tDescriptor&) = delete;
    tDescriptor& operator=(const tDescriptor&) = delete;

  private:
    int descriptor;
};

std::string hexadecimal(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// Creates the temporary file afresh, mode 0644 whatever the umask.
// O_EXCL | O_NOFOLLOW refuse whatever already stands at its name (what a
// failed write left, or a link planted to make root write elsewhere), so
// the file written is always the one created here; only then is that name
// removed and the creation tried once more. A write that finds nothing
// there, the usual case, saves the removal. -1 on failure.
int createTemporaryFile(int directory, const std::string& tempName) {
    const auto create = [&] {
        return openat(directory, tempName.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    };
    int descriptor = create();
    if (descriptor < 0 && errno == EEXIST) {
        (void)unlinkat(directory, tempName.c_str(), 0);
        descriptor = create();
    }
    if (descriptor >= 0 && fchmod(descriptor, 0644) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

// No text the service renders holds a carriage return but a metrics label
// may: the whole text is searched at memchr's speed, and copied down only
// from the first one found.
void removeCarriageReturns(std::string& text) {
    const void* first = memchr(text.data(), '\r', text.size());
    if (first == nullptr) {
        return;
    }
    const auto from = text.begin() + (static_cast<const char*>(first) - text.data());
    text.erase(std::remove(from, text.end(), '\r'), text.end());
}

// The whole text in one write(2) as a rule; a short write is continued, and
// a write that makes no progress (a full disk, a file size limit) fails, as
// does the close, which is where some file systems report the failure.
void writeAndClose(int descriptor, const std::string& text) {
    tDescriptor file(descriptor);
    for (size_t written = 0; written < text.size();) {
        const ssize_t count = write(file.get(), text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
        }
        written += static_cast<size_t>(count);
    }
    if (close(file.release()) != 0) {
        ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
    }
}

}  // namespace

std::string composeStatusReport(uint32_t capabilityMask, uint64_t initTimeMs,
                                const std::string& messages, const std::string& pluginText,
                                time_t now) {
    std::string report;
    appendStatusHead(report, capabilityMask, initTimeMs, messages, now);
    return report + pluginText;
}

void appendStatusHead(std::string& report, uint32_t capabilityMask, uint64_t initTimeMs,
                      const std::string& messages, time_t now) {
    report += "ZO-Korvo Remote Configuration and Deployment status\n";
    report += "Updated: ";
    const char* updated = ctime(&now);
    if (updated == nullptr) {
        return;
    }
    report += updated;
    report += "Allowed: " + hexadecimal(capabilityMask) + "\n";
    if (initTimeMs != 0) {
        report += "Init Time " + std::to_string(static_cast<uint32_t>(initTimeMs)) + " ms\n";
    }
    report += "\n";
    report += messages;
}

void writeFileAtomically(const std::string& directory, const std::string& name, std::string& text) {
    writeFileAtomicallyAt(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), name, text);
}

void writeFileAtomicallyAt(int directoryDescriptor, const std::string& name, std::string& text) {
    const tDescriptor held(directoryDescriptor);
    writeFileAtomicallyIn(held.get(), name, text);
}

void writeFileAtomicallyIn(int directory, const std::string& name, std::string& text) {
    if (directory < 0) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    const std::string tempName = "." + name + ".tmp";
    const int file = createTemporaryFile(directory, tempName);
    if (file < 0) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    removeCarriageReturns(text);
    writeAndClose(file, text);
    // rename(2) replaces the previous file atomically, and a link standing at
    // the final name is replaced, not followed; removing it first would leave
    // readers without a file, and without one for good if the rename then
    // failed.
    if (renameat(directory, tempName.c_str(), directory, name.c_str()) != 0) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
}

int openDirectoryWithoutLinks(const std::string& directory) {
    if (directory.empty() || directory[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    int current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t begin = 1;
    while (current >= 0 && begin < directory.size()) {
        size_t end = directory.find('/', begin);
        if (end == std::string::npos) {
            end = directory.size();
        }
        const std::string component = directory.substr(begin, end - begin);
        begin = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        // O_NOFOLLOW with O_PATH would open a link itself; O_DIRECTORY then
        // refuses it, since a link is no directory.
        const int next = component == ".." ? -1
                                           : openat(current, component.c_str(),
                                                    O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int savedErrno = errno;
        close(current);
        errno = component == ".." ? EINVAL : savedErrno;
        current = next;
    }
    return current;
}
