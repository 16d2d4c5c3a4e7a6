/*
 * The baseline of the whole-process startup benchmark: the least a plugin
 * host has to do to run the same plugins, in plain C, with nothing the
 * service adds (no INI syntax checks, no dependency or capability checks, no
 * timing, no per-step status text).
 *
 * Usage: zo_bench_baseline PLUGINS_DIRECTORY STATUS_DIRECTORY
 *
 * It lists the plugins directory, reads every *.ini file whole and takes
 * the values of Name, Path, Initialize, Stop and Cleanup from it, starts the
 * plugins in the order of their file names (the benchmark names its files so
 * that this order satisfies every dependency), opening each library with
 * RTLD_NOW | RTLD_GLOBAL, binding the three entry points and calling
 * Initialize; then writes one status file through a temporary file and a
 * rename, waits for SIGTERM or SIGINT, calls every Stop in reverse order,
 * then every Cleanup with its dlclose in reverse order, and ends by the
 * signal it received. Any failure ends it with exit status 1 and a line on
 * standard error.
 */
#define _GNU_SOURCE

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int32_t (*InitializeEntry)(void);
typedef void (*VoidEntry)(void);

struct Plugin {
    char* fileName;
    char* name;
    char* path;
    char* initializeSymbol;
    char* stopSymbol;
    char* cleanupSymbol;
    void* handle;
    InitializeEntry initialize;
    VoidEntry stop;
    VoidEntry cleanup;
    int32_t code;
};

struct PluginList {
    struct Plugin* items;
    size_t count;
    size_t capacity;
};

static void fail(const char* what, const char* detail) {
    fprintf(stderr, "baseline: %s: %s\n", what, detail);
    exit(1);
}

static void* allocate(size_t size) {
    void* memory = malloc(size);
    if (memory == NULL) {
        fail("out of memory", "");
    }
    return memory;
}

static char* duplicate(const char* text, size_t length) {
    char* copy = strndup(text, length);
    if (copy == NULL) {
        fail("out of memory", "");
    }
    return copy;
}

static char* joinPath(const char* directory, const char* name) {
    const size_t directoryLength = strlen(directory);
    const size_t nameLength = strlen(name);
    char* path = allocate(directoryLength + 1 + nameLength + 1);
    memcpy(path, directory, directoryLength);
    path[directoryLength] = '/';
    memcpy(path + directoryLength + 1, name, nameLength + 1);
    return path;
}

static int hasIniExtension(const char* name) {
    const char* dot = strrchr(name, '.');
    return dot != NULL && strcmp(dot, ".ini") == 0;
}

static char* readWholeFile(const char* path) {
    const int file = open(path, O_RDONLY);
    struct stat info;
    if (file < 0 || fstat(file, &info) != 0) {
        fail("cannot read", path);
    }
    char* text = allocate((size_t)info.st_size + 1);
    size_t length = 0;
    while (length < (size_t)info.st_size) {
        const ssize_t got = read(file, text + length, (size_t)info.st_size - length);
        if (got <= 0) {
            fail("cannot read", path);
        }
        length += (size_t)got;
    }
    close(file);
    text[length] = '\0';
    return text;
}

/* The value of "key=value" on a line of its own, or an empty text; keys are
 * matched exactly, which the generated files satisfy. */
static char* valueOf(const char* text, const char* key) {
    const size_t keyLength = strlen(key);
    for (const char* line = text; *line != '\0';) {
        const char* end = strchr(line, '\n');
        if (end == NULL) {
            end = line + strlen(line);
        }
        if ((size_t)(end - line) > keyLength && strncmp(line, key, keyLength) == 0 &&
            line[keyLength] == '=') {
            return duplicate(line + keyLength + 1, (size_t)(end - line) - keyLength - 1);
        }
        line = *end == '\n' ? end + 1 : end;
    }
    return duplicate("", 0);
}

static void readDescription(const char* directory, const char* fileName, struct Plugin* plugin) {
    char* path = joinPath(directory, fileName);
    char* text = readWholeFile(path);
    memset(plugin, 0, sizeof *plugin);
    plugin->fileName = duplicate(fileName, strlen(fileName));
    plugin->name = valueOf(text, "Name");
    plugin->path = valueOf(text, "Path");
    plugin->initializeSymbol = valueOf(text, "Initialize");
    plugin->stopSymbol = valueOf(text, "Stop");
    plugin->cleanupSymbol = valueOf(text, "Cleanup");
    free(text);
    free(path);
}

static void appendPlugin(struct PluginList* list, const char* directory, const char* fileName) {
    if (list->count == list->capacity) {
        list->capacity = list->capacity == 0 ? 64 : list->capacity * 2;
        list->items = realloc(list->items, list->capacity * sizeof *list->items);
        if (list->items == NULL) {
            fail("out of memory", "");
        }
    }
    readDescription(directory, fileName, &list->items[list->count++]);
}

static int byFileName(const void* a, const void* b) {
    return strcmp(((const struct Plugin*)a)->fileName, ((const struct Plugin*)b)->fileName);
}

static void readDescriptions(const char* directory, struct PluginList* list) {
    DIR* listing = opendir(directory);
    if (listing == NULL) {
        fail("cannot list", directory);
    }
    for (struct dirent* entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        /* d_type spares a stat(2) per entry; a file system that does not
         * fill it in still gets its files read. */
        const int maybeRegular = entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN;
        if (maybeRegular && hasIniExtension(entry->d_name)) {
            appendPlugin(list, directory, entry->d_name);
        }
    }
    closedir(listing);
    qsort(list->items, list->count, sizeof *list->items, byFileName);
}

static void* bind(void* handle, const char* symbol, const char* path) {
    void* entry = dlsym(handle, symbol);
    if (entry == NULL) {
        fail("missing entry point", path);
    }
    return entry;
}

static void startPlugin(struct Plugin* plugin) {
    plugin->handle = dlopen(plugin->path, RTLD_NOW | RTLD_GLOBAL);
    if (plugin->handle == NULL) {
        fail("cannot load", dlerror());
    }
    plugin->initialize =
        (InitializeEntry)bind(plugin->handle, plugin->initializeSymbol, plugin->path);
    plugin->stop = (VoidEntry)bind(plugin->handle, plugin->stopSymbol, plugin->path);
    plugin->cleanup = (VoidEntry)bind(plugin->handle, plugin->cleanupSymbol, plugin->path);
    plugin->code = plugin->initialize();
}

/* One line per plugin: its name, library and Initialize result. */
static void writeStatusFile(const char* directory, const struct PluginList* list) {
    char* finalPath = joinPath(directory, "baseline.status");
    char* tempPath = joinPath(directory, ".baseline.status.tmp");
    FILE* file = fopen(tempPath, "w");
    if (file == NULL) {
        fail("cannot write", tempPath);
    }
    for (size_t i = 0; i < list->count; ++i) {
        const struct Plugin* plugin = &list->items[i];
        fprintf(file, "%s %s %d\n", plugin->name, plugin->path, (int)plugin->code);
    }
    if (fclose(file) != 0 || rename(tempPath, finalPath) != 0) {
        fail("cannot write", finalPath);
    }
    free(tempPath);
    free(finalPath);
}

static int waitForStopSignal(void) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    int caught = 0;
    if (sigwait(&stopSignals, &caught) != 0) {
        fail("sigwait", "failed");
    }
    return caught;
}

static void stopAndUnload(struct PluginList* list) {
    for (size_t i = list->count; i > 0; --i) {
        list->items[i - 1].stop();
    }
    for (size_t i = list->count; i > 0; --i) {
        list->items[i - 1].cleanup();
        if (dlclose(list->items[i - 1].handle) != 0) {
            fail("cannot unload", list->items[i - 1].path);
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "Usage: zo_bench_baseline PLUGINS_DIRECTORY STATUS_DIRECTORY\n");
        return 1;
    }
    /* Blocked before any plugin runs, so a plugin's own SIGTERM stays
     * pending until the wait takes it. */
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, NULL);

    struct PluginList list = {NULL, 0, 0};
    readDescriptions(argv[1], &list);
    for (size_t i = 0; i < list.count; ++i) {
        startPlugin(&list.items[i]);
    }
    writeStatusFile(argv[2], &list);
    const int caught = waitForStopSignal();
    stopAndUnload(&list);

    signal(caught, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &stopSignals, NULL);
    raise(caught);
    return 1;
}
