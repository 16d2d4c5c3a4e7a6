/*
 * exampleJournal.h: how the example plugins show what they do. Each call
 * appends one line to the file named by the environment variable
 * ZO_EXAMPLE_JOURNAL; without it the examples stay silent, as a plugin
 * of this service should (the service's own report is its status file).
 * Every line is written with one write(2) on a descriptor opened for
 * appending, so lines from different plugins never interleave. Failures are
 * ignored: a journal is a demonstration aid, never a reason to fail.
 */
#ifndef ZO_EXAMPLE_JOURNAL_H
#define ZO_EXAMPLE_JOURNAL_H

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static inline void zoExampleJournal(const char* line) {
    const char* path = getenv("ZO_EXAMPLE_JOURNAL");
    if (path == NULL || path[0] == '\0') {
        return;
    }
    int journal = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (journal < 0) {
        return;
    }
    char buffer[256];
    size_t length = strlen(line);
    if (length > sizeof buffer - 1) {
        length = sizeof buffer - 1;
    }
    memcpy(buffer, line, length);
    buffer[length] = '\n';
    ssize_t written = write(journal, buffer, length + 1);
    (void)written;
    close(journal);
}

#endif /* ZO_EXAMPLE_JOURNAL_H */
