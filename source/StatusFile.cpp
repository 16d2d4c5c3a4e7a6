#include "StatusFile.h"

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

std::string hexadecimal(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// Creates the temporary file afresh, mode 0644 whatever the umask. Whatever
// stands at its name (what a failed write left, or a link planted to make
// root write elsewhere) is removed first, and O_EXCL | O_NOFOLLOW refuse
// anything that appears there again before the open. Null on failure.
tFileHandle createTemporaryFile(const std::string& tempPath) {
    (void)unlink(tempPath.c_str());
    const int descriptor =
        open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
    const std::string finalPath = directory + "/" + name;
    const std::string tempPath = directory + "/." + name + ".tmp";
    tFileHandle file = createTemporaryFile(tempPath);
    if (!file) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
    removeCarriageReturns(text);
    writeAndClose(std::move(file), text);
    // rename(2) replaces the previous file atomically, and a link standing at
    // the final name is replaced, not followed; removing it first would leave
    // readers without a file, and without one for good if the rename then
    // failed.
    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) {
        ZOERR_RAISE(zoerr::kInsufficientPermissions, "zoqelerr_insufficientPermissions");
    }
}
