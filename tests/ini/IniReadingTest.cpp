// How bytes become lines: opening, byte-order marks, line breaks, long lines, NUL bytes, and the
// line-by-line walk a checking tool does with the reader's own pieces.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "IniTestSupport.h"

namespace {

constexpr uint32_t kServiceFlags = kIniAllowEmptyValues | kIniStripDoubleQuotes;

class IniReadingTest : public ::testing::Test {
  protected:
    IniDocument readBytes(const std::string& bytes, int expectedResult = kIniResultOk) {
        IniDocument document = newIniDocument(kServiceFlags);
        EXPECT_EQ(expectedResult, document->readFile(directory_.write("doc.ini", bytes).c_str()));
        return document;
    }

    IniScratchDirectory directory_;
};

// Opening a socket fails with ENXIO even for root, while stat succeeds.
std::string bindSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
    close(fd);
    return path;
}

TEST_F(IniReadingTest, FilesThatCannotBeReadReportWhy) {
    IniDocument document = newIniDocument(kServiceFlags);
    EXPECT_EQ(kIniResultFileMissing, document->readFile(directory_.pathOf("absent.ini").c_str()));
    EXPECT_EQ(kIniResultFileMissing, document->readFile(nullptr));
    EXPECT_EQ(kIniResultFileMissing, document->readStream(nullptr));
    EXPECT_EQ(kIniResultCannotOpen,
              document->readFile(bindSocket(directory_.pathOf("socket")).c_str()));
    // A directory opens for reading, but reading from it fails.
    EXPECT_EQ(kIniResultReadFailed, document->readFile(directory_.pathOf("").c_str()));
}

TEST_F(IniReadingTest, ByteOrderMarksOtherThanUtf8AreRefused) {
    const struct {
        std::string mark;
        int result;
    } cases[] = {
        {"", kIniResultOk},
        {"\xEF\xBB\xBF", kIniResultOk},
        {"\xFF\xFE", kIniResultUnsupportedEncoding},
        {"\xFE\xFF", kIniResultUnsupportedEncoding},
        {std::string("\xFF\xFE\0\0", 4), kIniResultUnsupportedEncoding},
        {std::string("\0\0\xFE\xFF", 4), kIniResultUnsupportedEncoding},
    };
    for (const auto& c : cases) {
        IniDocument document = readBytes(c.mark + "[s]\na=1\n", c.result);
        EXPECT_EQ(c.result == kIniResultOk ? "[s]a=1" : "", describeIni(*document));
        EXPECT_EQ(-1, document->firstErrorLine());
    }
}

// readFile looks for the mark in the reader's first block; readStream reads it off the stream
// and seeks back; readBytes reads the bytes in place, as one block without a buffer. All three
// must make the same document of every start of a file, a line longer than a block included.
TEST_F(IniReadingTest, FileStreamAndBytesTreatEveryStartAlike) {
    const std::string starts[] = {
        "",
        "\xEF",
        "\xEF\xBB",
        "\xEF\xBB\xBF",
        "\xEF\xBB\xBF\xEF\xBB\xBF[s]\na=1",
        "\xEF\xBB\xBF\r\n[s]\na=1",
        "\xEF\xBB[s]\na=1",
        "\xFF",
        "\xFF\xFE",
        "\xFE\xFF[s]",
        std::string("\xFF\xFE\0", 3),
        std::string("\0\0\xFE\xFF[s]", 7),
        std::string("\0[s]\na=1", 8),
        "[s]\na=1",
        "\n\n[s]\na=1\n",
        "a",
        std::string(kIniReadBlockSize - 2, 'x') + "\n[s]\na=1",
        "\xEF\xBB\xBF" + std::string(kIniReadBlockSize, ';') + "\n[s]\na=1",
        "[s]\r\nk=" + std::string(3 * kIniReadBlockSize, 'v') + "\r\n\r\nb=2",
    };
    for (const std::string& start : starts) {
        SCOPED_TRACE(testing::PrintToString(start.substr(0, 16)));
        const std::string path = directory_.write("start.ini", start);
        IniDocument fromFile = newIniDocument(kServiceFlags);
        const int fileResult = fromFile->readFile(path.c_str());
        FILE* stream = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, stream);
        IniDocument fromStream = newIniDocument(kServiceFlags);
        EXPECT_EQ(fromStream->readStream(stream), fileResult);
        fclose(stream);
        EXPECT_EQ(describeIni(*fromStream), describeIni(*fromFile));
        EXPECT_EQ(fromStream->firstErrorLine(), fromFile->firstErrorLine());
        IniDocument fromBytes = newIniDocument(kServiceFlags);
        EXPECT_EQ(fromBytes->readBytes(start.data(), start.size()), fileResult);
        EXPECT_EQ(describeIni(*fromBytes), describeIni(*fromFile));
        EXPECT_EQ(fromBytes->firstErrorLine(), fromFile->firstErrorLine());
    }
    IniDocument document = newIniDocument(kServiceFlags);
    EXPECT_EQ(kIniResultFileMissing, document->readBytes(nullptr, 1));
    EXPECT_EQ(kIniResultOk, document->readBytes(nullptr, 0));
    EXPECT_EQ("", describeIni(*document));
}

TEST_F(IniReadingTest, StreamThatCannotSeekFailsAfterTheMarkCheck) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(9, write(fds[1], "[s]\na=1\n\n", 9));
    close(fds[1]);
    FILE* stream = fdopen(fds[0], "rb");
    IniDocument document = newIniDocument(kServiceFlags);
    EXPECT_EQ(kIniResultSeekFailed, document->readStream(stream));
    fclose(stream);
}

TEST_F(IniReadingTest, LineBreakStylesNumberLinesAlike) {
    const std::vector<std::vector<std::string>> files = {
        {"[s]", "a=1", "", "b=2"},
        {"", "[s]", "a=1"},
        {"[s]", "a=1", "", ""},
    };
    const int32_t errorLines[] = {3, 1, 3};
    for (const char* lineBreak : {"\n", "\r\n", "\r"}) {
        for (size_t f = 0; f < files.size(); ++f) {
            std::string text;
            for (const std::string& line : files[f]) {
                text += line + lineBreak;
            }
            SCOPED_TRACE(text);
            IniDocument document = readBytes(text);
            EXPECT_EQ(errorLines[f], document->firstErrorLine());
            EXPECT_EQ(1, document->hasKey("s", "a"));
        }
    }
}

TEST_F(IniReadingTest, LongLinesAndUnterminatedLastLinesAreReadWhole) {
    for (size_t length : {254, 255, 256, 511, 512, 100 * 1024}) {
        SCOPED_TRACE(length);
        const std::string filler(length - 2, 'x');
        // A comment that fills the line buffer exactly must not swallow the header after it.
        IniDocument afterComment = readBytes(";x" + filler + "\n[s]\nv=1\n");
        IniDocument middle = readBytes("[s]\nv=" + filler + "\nw=1\n");
        IniDocument unterminated = readBytes("[s]\nv=" + filler);
        for (IniDocument* document : {&afterComment, &middle, &unterminated}) {
            const char* value = nullptr;
            ASSERT_EQ(1, (*document)->getValue("s", "v", &value));
            EXPECT_EQ(document == &afterComment ? 1 : length - 2, strlen(value));
            EXPECT_EQ(-1, (*document)->firstErrorLine());
        }
        EXPECT_EQ(1, middle->hasKey("s", "w"));
    }
}

TEST_F(IniReadingTest, NulByteEndsTheLine) {
    IniDocument joined = readBytes(std::string("[s]\na=b\0c=d\n", 12));
    EXPECT_EQ("[s]a=b,c=d", describeIni(*joined));
    EXPECT_EQ(-1, joined->firstErrorLine());
    IniDocument broken = readBytes(std::string("[s]\na=b\0junk\nc=d\n", 17));
    EXPECT_EQ("[s]a=b,c=d", describeIni(*broken));
    EXPECT_EQ(3, broken->firstErrorLine());
}

// The walk an administrator's checker does: the same lines, numbers and decisions as the parser.
TEST_F(IniReadingTest, WalkingLineByLineSeesWhatTheParserSees) {
    const std::string path =
        directory_.write("walk.ini", "\xEF\xBB\xBF[Service]\r\n# note\r\nName=\r\n\r\nPath=x");
    FILE* stream = nullptr;
    ASSERT_EQ(kIniResultOk, iniOpenFile(path.c_str(), &stream));
    IniLineReader* reader = IniLineReader::create(stream);
    ASSERT_NE(nullptr, reader);
    ASSERT_EQ(kIniResultOk, reader->skipByteOrderMark());
    std::vector<std::pair<int32_t, IniLineKind>> walked;
    char* line = nullptr;
    size_t capacity = 0;
    int haveLine = 0;
    while (reader->readWholeLine(&line, &capacity, &haveLine) == kIniResultOk && haveLine) {
        walked.emplace_back(reader->lineNumber(),
                            iniClassifyLine(line, kIniStripDoubleQuotes, nullptr));
    }
    free(line);
    IniLineReader::destroy(reader);
    fclose(stream);

    const std::vector<std::pair<int32_t, IniLineKind>> expected = {
        {1, kIniLineSection}, {2, kIniLineNoSeparator}, {3, kIniLineEmptyValue},
        {4, kIniLineBlank},   {5, kIniLineKey},
    };
    EXPECT_EQ(expected, walked);
    IniDocument document = newIniDocument(kIniStripDoubleQuotes);
    EXPECT_EQ(kIniResultOk, document->readFile(path.c_str()));
    EXPECT_EQ(2, document->firstErrorLine());
    EXPECT_EQ("[Service]Path=x", describeIni(*document));
}

}  // namespace
