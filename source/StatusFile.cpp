#include "StatusFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "zoerr/Status.h"

const char kStatusFileName[] = "zoKorvoRemoteService.status";

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using tFileHandle = std::unique_ptr<FILE, FileCloser>;

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

// Creates the temporary file afresh, mode 0644 whatever the umask. Whatever
// stands at its name (what a failed write left, or a link planted to make
// root write elsewhere) is removed first, and O_EXCL | O_NOFOLLOW refuse
// anything that appears there again before the open. Null on failure.
tFileHandle createTemporaryFile(int directory, const std::string& tempName) {
    (void)unlinkat(directory, tempName.c_str(), 0);
    const int descriptor = openat(directory, tempName.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return nullptr;
    }
    FILE* file = fchmod(descriptor, 0644) == 0 ? fdopen(descriptor, "w") : nullptr;
    if (file == nullptr) {
        close(descriptor);
    }
    return tFileHandle(file);
}

void removeCarriageReturns(std::string& text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
}

// A full disk often shows only when the buffered text is flushed or the file
// is closed, so both count as a short write.
void writeAndClose(tFileHandle file, const std::string& text) {
    if (fwrite(text.data(), 1, text.size(), file.get()) != text.size()) {
        ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
    }
    const bool flushed = fflush(file.get()) == 0 && ferror(file.get()) == 0;
    if (fclose(file.release()) != 0 || !flushed) {
        ZOERR_RAISE(zoerr::kOsFault, "zoqelerr_osFault");
    }
}

}  // namespace

std::string composeStatusReport(uint32_t capabilityMask, uint64_t initTimeMs,
                                const std::string& messages, const std::string& pluginText,
                                time_t now) {
    std::string report = "ZO-Korvo Remote Configuration and Deployment status\n";
    report += "Updated: ";
    const char* updated = ctime(&now);
    if (updated == nullptr) {
        return report + pluginText;
    }
    report += updated;
    report += "Allowed: " + hexadecimal(capabilityMask) + "\n";
    if (initTimeMs != 0) {
        report += "Init Time " + std::to_string(static_cast<uint32_t>(initTimeMs)) + " ms\n";
    }
    report += "\n";
    report += messages;
    return report + pluginText;
}

void writeFileAtomically(const std::string& directory, const std::string& name, std::string& text) {
    writeFileAtomicallyAt(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), name, text);
}

void writeFileAtomicallyAt(int directoryDescriptor, const std::string& name, std::string& text) {
    const tDescriptor held(directoryDescriptor);
    const int directory = held.get();
    if (directory < 0) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    const std::string tempName = "." + name + ".tmp";
    tFileHandle file = createTemporaryFile(directory, tempName);
    if (!file) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    removeCarriageReturns(text);
    writeAndClose(std::move(file), text);
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
