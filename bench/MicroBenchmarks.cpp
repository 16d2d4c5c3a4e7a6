// Microbenchmarks of the service's own work: what it does per description
// file, per plugin and per status-file write, apart from the dynamic loader
// and the plugins themselves.
//
// The families over a plugin count (250 to 4000) or a dependency count ask
// Google Benchmark for a complexity fit, so that a step that grows faster
// than N log N shows up in the report. Files go to one scratch directory
// under the system's temporary directory, removed at the end.
// Not a test: the figures are recorded in bench/README.md by hand.
#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "plugins/PluginOrder.h"
#include "plugins/StartedNames.h"
#include "reports/StatusFile.h"
#include "ini/IniFile.h"
#include "plugins/PluginDiscovery.h"
#include "plugins/PluginDescriptionFile.h"
#include "reports/Metrics.h"
#include "reports/ReportFiles.h"
#include "reports/ServiceReport.h"
#include "reports/StatusJson.h"
#include "plugins/tPluginManager.h"
#include "zoerr/Json.h"
#include "zoerr/Status.h"

namespace fs = boost::filesystem;

namespace {

// The plugin counts of the families that grow with the number of plugins.
const std::vector<int64_t> kPluginCounts = {250, 500, 1000, 2000, 4000};

// One scratch directory for the whole run.
const fs::path& scratchDirectory() {
    static const fs::path directory = [] {
        fs::path path = fs::temp_directory_path() / fs::unique_path("zo-bench-%%%%-%%%%");
        fs::create_directories(path);
        return path;
    }();
    return directory;
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path.string(), std::ios::binary) << text;
}

std::string pluginName(size_t index) {
    char name[32];
    snprintf(name, sizeof name, "plugin-%05zu", index);
    return name;
}

// `count` descriptions, each depending on up to `dependenciesEach` distinct
// plugins of lower index (so the dependencies form no cycle), in a shuffled
// order as a directory listing would return them. The same arguments give
// the same descriptions.
std::vector<tPluginDescription> makeDescriptions(size_t count, size_t dependenciesEach,
                                                 uint32_t requires) {
    std::mt19937 random(20260807);
    std::vector<tPluginDescription> descriptions(count);
    for (size_t i = 0; i < count; ++i) {
        tPluginDescription& description = descriptions[i];
        description.name = pluginName(i);
        description.requires = requires;
        description.path = "/usr/local/lib/zorix/plugins/lib" + description.name + ".so";
        description.initializeSymbol = "pluginInitialize";
        description.stopSymbol = "pluginStop";
        description.cleanupSymbol = "pluginCleanup";
        for (size_t d = 0; d < std::min(dependenciesEach, i); ++d) {
            description.dependencies.push_back(pluginName(random() % i));
        }
        std::sort(description.dependencies.begin(), description.dependencies.end());
        description.dependencies.erase(
            std::unique(description.dependencies.begin(), description.dependencies.end()),
            description.dependencies.end());
    }
    std::shuffle(descriptions.begin(), descriptions.end(), random);
    return descriptions;
}

void ParseDescriptionFile(benchmark::State& state) {
    const fs::path path = scratchDirectory() / "alpha.ini";
    writeText(path,
              "[Service]\n"
              "Name=alpha\n"
              "Dependencies=beta, gamma\n"
              "Path=/usr/local/lib/libalpha.so\n"
              "Requires=1\n"
              "Initialize=alphaInitialize\n"
              "Stop=alphaStop\n"
              "Cleanup=alphaCleanup\n");
    for (auto _ : state) {
        tPluginDescription description;
        nPluginData::parseDescriptionFile(path.string(), description);
        benchmark::DoNotOptimize(description);
    }
}
BENCHMARK(ParseDescriptionFile);

// 100,000 keys in all, spread over range(0) sections. The reader checks each
// new key against the keys of its section one by one, so the time grows
// with the keys per section.
void ReadLargeIniFile(benchmark::State& state) {
    const int64_t sections = state.range(0);
    const int64_t keysPerSection = 100000 / sections;
    const fs::path path = scratchDirectory() / ("large-" + std::to_string(sections) + ".ini");
    std::string text;
    for (int64_t s = 0; s < sections; ++s) {
        text += "[Section" + std::to_string(s) + "]\n";
        for (int64_t k = 0; k < keysPerSection; ++k) {
            text += "Key" + std::to_string(k) + "=value " + std::to_string(s * k) + "\n";
        }
    }
    writeText(path, text);
    for (auto _ : state) {
        IniFile* file = IniFile::create(0);
        file->setFlags(kIniAllowEmptyValues | kIniStripDoubleQuotes);
        if (file->readFile(path.string().c_str()) != 0 || file->firstErrorLine() != -1) {
            state.SkipWithError("the large file did not read cleanly");
        }
        IniFile::destroy(file);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    state.counters["keys_per_section"] = static_cast<double>(keysPerSection);
}
BENCHMARK(ReadLargeIniFile)->Arg(10000)->Arg(1000)->Arg(100)->Unit(benchmark::kMillisecond);

// The listing of a plugins directory holding range(0) description files.
void FindDescriptionFiles(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    const fs::path directory = scratchDirectory() / ("plugins-" + std::to_string(count));
    fs::create_directories(directory);
    for (size_t i = 0; i < count; ++i) {
        writeText(directory / (pluginName(i) + ".ini"), "[Service]\n");
    }
    for (auto _ : state) {
        std::vector<std::string> files;
        nPluginData::findFilesByExtension(directory, ".ini", files);
        benchmark::DoNotOptimize(files);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(FindDescriptionFiles)
    ->ArgsProduct({kPluginCounts})
    ->Complexity()
    ->Unit(benchmark::kMicrosecond);

// Ordering range(0) descriptions with range(1) dependencies each; the
// complexity fit runs over the count of the family's first argument.
void orderDescriptions(benchmark::State& state, int64_t complexityN) {
    const std::vector<tPluginDescription> shuffled = makeDescriptions(
        static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)), 1);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<tPluginDescription> descriptions = shuffled;
        state.ResumeTiming();
        nPluginData::orderDescriptions(descriptions);
        benchmark::DoNotOptimize(descriptions);
    }
    state.SetComplexityN(complexityN);
}

void OrderDescriptions(benchmark::State& state) {
    orderDescriptions(state, state.range(0));
}
BENCHMARK(OrderDescriptions)
    ->ArgsProduct({kPluginCounts, {4}})
    ->Complexity()
    ->Unit(benchmark::kMicrosecond);

// 2,000 descriptions and a growing number of dependencies each.
void OrderDescriptionsByDependencies(benchmark::State& state) {
    orderDescriptions(state, state.range(0) * state.range(1));
}
BENCHMARK(OrderDescriptionsByDependencies)
    ->ArgsProduct({{2000}, {1, 4, 16, 64}})
    ->Complexity()
    ->Unit(benchmark::kMicrosecond);

// The dependency test of a start pass over range(0) plugins with up to
// range(1) dependencies each: the names resolved once, then every plugin's
// dependencies tested and the plugin marked started, in order.
void StartedNamesPass(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<tPluginDescription> descriptions =
        makeDescriptions(count, static_cast<size_t>(state.range(1)), 1);
    std::vector<const tPluginDescription*> pass;
    for (const tPluginDescription& description : descriptions) {
        pass.push_back(&description);
    }
    for (auto _ : state) {
        tStartedNames startedNames(pass);
        for (size_t i = 0; i < count; ++i) {
            benchmark::DoNotOptimize(startedNames.dependenciesStarted(i));
            startedNames.markStarted(i);
        }
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(StartedNamesPass)
    ->ArgsProduct({{250, 1000, 4000}, {4}})
    ->Complexity(benchmark::oNLogN)
    ->Unit(benchmark::kMicrosecond);

// A start pass over range(0) plugins that are all refused: without the
// needed capability (range(1) = 0), or for a dependency that never starts
// (range(1) = 1: each plugin also names "zz-missing"). Nothing is loaded, so
// this is the pass's own cost per plugin: record, checks, raised error.
void StartPassRefused(benchmark::State& state) {
    const bool byDependency = state.range(1) == 1;
    std::vector<tPluginDescription> descriptions =
        makeDescriptions(static_cast<size_t>(state.range(0)), 4, byDependency ? 1 : 0);
    for (tPluginDescription& description : descriptions) {
        if (byDependency) {
            description.dependencies.push_back("zz-missing");
        }
    }
    for (auto _ : state) {
        tPluginManager manager;
        manager.startPlugins(descriptions, 0xFFFFFFFD);
        benchmark::DoNotOptimize(manager);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(StartPassRefused)
    ->ArgsProduct({kPluginCounts, {0}})
    ->Complexity()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(StartPassRefused)
    ->ArgsProduct({kPluginCounts, {1}})
    ->Complexity()
    ->Unit(benchmark::kMicrosecond);

// The plugin status text of range(0) records, as the status file takes it at
// every write. The records come from a start pass that refuses every plugin
// (requires 0), so each block has its start-step lines.
void StatusText(benchmark::State& state) {
    tPluginManager manager;
    manager.startPlugins(makeDescriptions(static_cast<size_t>(state.range(0)), 2, 0), 0xFFFFFFFF);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = manager.statusText();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetComplexityN(state.range(0));
    state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(StatusText)->ArgsProduct({kPluginCounts})->Complexity()->Unit(benchmark::kMicrosecond);

// The records of range(0) plugins refused at their start (each block then
// has its start step's lines), with a description file each, and a report of
// them as the service builds one after its start pass. With range(1) = 1
// every name, dependency and path holds a character that some rendering
// escapes (a tab, an escape character, a byte that is not UTF-8, a quote) and
// a valid two-byte sequence, in the middle of plain text.
class tReportFixture {
  public:
    tReportFixture(int64_t count, bool escapes) {
        std::vector<tPluginDescription> descriptions =
            makeDescriptions(static_cast<size_t>(count), 2, 0);
        for (tPluginDescription& description : descriptions) {
            if (escapes) {
                description.name.insert(3, "\t\x1b\xff\"\xc3\xa9");
                description.path.insert(10, "\t\x1b\xff\"\xc3\xa9");
                for (std::string& dependency : description.dependencies) {
                    dependency.insert(3, "\t\x1b\xff\"\xc3\xa9");
                }
            }
            description.file = "/usr/local/share/zorix/plugins/" + description.name + ".ini";
        }
        manager.startPlugins(std::move(descriptions), 0xFFFFFFFF);
        messages.push_back(tReportMessage{
            tMessageKind::descriptionParse, "/usr/local/share/zorix/plugins/broken.ini",
            "Failed to parse /usr/local/share/zorix/plugins/broken.ini"});
        report.phase = tServicePhase::running;
        report.pid = 4242;
        report.processStart = timespec{1796710445, 123000000};
        report.now = timespec{1796710446, 456000000};
        report.initTimeMs = 37;
        report.deploymentAttempts = 1;
        report.messages = &messages;
        report.records = &manager.records();
    }
    const tServiceReport& get() const { return report; }

  private:
    tPluginManager manager;
    std::vector<tReportMessage> messages;
    tServiceReport report;
};

// The plugin counts, without and with characters to escape, of the report
// renderings.
void reportArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgsProduct({kPluginCounts, {0, 1}})->Unit(benchmark::kMicrosecond);
}

// The whole status text as the service writes it: its own lines, the
// messages and a block per plugin.
std::string renderStatusText(const tServiceReport& report) {
    std::string text;
    appendStatusText(text, report);
    return text;
}

template <std::string (*render)(const tServiceReport&)>
void renderReport(benchmark::State& state) {
    const tReportFixture fixture(state.range(0), state.range(1) == 1);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = render(fixture.get());
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    state.counters["text_bytes"] = static_cast<double>(bytes);
}

void StatusReportText(benchmark::State& state) {
    renderReport<renderStatusText>(state);
}
BENCHMARK(StatusReportText)->Apply(reportArguments);

void StatusJson(benchmark::State& state) {
    renderReport<renderStatusJson>(state);
}
BENCHMARK(StatusJson)->Apply(reportArguments);

void MetricsText(benchmark::State& state) {
    renderReport<renderMetrics>(state);
}
BENCHMARK(MetricsText)->Apply(reportArguments);

// One status write of the service at range(0) plugins: the text and its JSON
// twin, and with range(1) = 1 the metrics file too, each rendered and
// written to its file (on a tmpfs under bench/run) through its temporary file.
void StatusWrite(benchmark::State& state) {
    const tReportFixture fixture(state.range(0), false);
    const std::string directory = scratchDirectory().string();
    const bool metrics = state.range(1) == 1;
    std::string buffer;
    for (auto _ : state) {
        if (metrics) {
            writeMetricsFile(directory, "bench.prom", fixture.get(), buffer);
        }
        writeStatusFiles(directory, fixture.get(), buffer);
    }
}
BENCHMARK(StatusWrite)->ArgsProduct({{1000}, {0, 1}})->Unit(benchmark::kMicrosecond);

// The detail text of a failed file read, as the platform layer writes it.
void JsonDetailText(benchmark::State& state) {
    for (auto _ : state) {
        zoerr::Status status;
        status.setCode(zoerr::kOsFault);
        zoerr::JsonWriter(status)
            .addString("error_constant", "zoqelerr_osFault")
            .addSource("source/zosysq/stdpath.cpp", 142, "zoKorvoRemoteService")
            .openObject("internal_error")
            .addString("api", "fread")
            .addInt("errno", 5)
            .addString("text", "Input/output error")
            .closeObject()
            .addString("filename", "/etc/zorix/share/share.dir")
            .addSize("size", 4096);
        benchmark::DoNotOptimize(status.json);
    }
}
BENCHMARK(JsonDetailText);

// Replacing a 200 KB status file through its temporary file and a rename.
void WriteStatusFileAtomically(benchmark::State& state) {
    const std::string directory = scratchDirectory().string();
    std::string report;
    while (report.size() < 200 * 1024) {
        report +=
            "plugin-00042 (depends on plugin-00007, plugin-00011)\n"
            "Loaded From: /usr/local/lib/zorix/plugins/libplugin-00042.so\n"
            "Requires: 1\n\n";
    }
    for (auto _ : state) {
        writeFileAtomically(directory, "bench.status", report);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(report.size()));
}
BENCHMARK(WriteStatusFileAtomically)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    boost::system::error_code ignored;
    fs::remove_all(scratchDirectory(), ignored);
    return 0;
}
