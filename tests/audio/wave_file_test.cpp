#include "audio/wave_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/message_box.h"
#include "tests/support/child_process.h"

namespace {

constexpr int kBlock = 2000;

std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Chunk(const std::string& id, const std::string& payload) {
    return id + Le32(uint32_t(payload.size())) + payload;
}
const std::string kFmt16("\x01\x00\x01\x00\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00", 16);
std::string Riff(const std::string& body) { return Chunk("RIFF", "WAVE" + body); }

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Reads the whole data of a file in blocks, as the player does.
std::string ReadAll(CWaveFile& file) {
    std::string got;
    for (;;) {
        CSoundBuffer block(kBlock);
        if (!file.Read(&block)) return got;
        got.append(reinterpret_cast<char*>(block.data), size_t(block.size));
    }
}

std::string Soxi(const std::string& option, const std::string& path) {
    std::string out;
    FILE* pipe = popen(("soxi " + option + " '" + path + "' 2>&1").c_str(), "r");
    char line[256];
    while (pipe && fgets(line, sizeof line, pipe)) out += line;
    if (pipe) pclose(pipe);
    return out;
}

TEST(WaveFile, RecordingOfThreeBlocksHasTheExactHeaderAndReadsBack) {
    TempFolder folder;
    std::string path = folder / "message.wav";
    CSoundFormat format;
    {
        CWaveFile file(path, format.GetFormat());
        ASSERT_TRUE(file.IsOpen());
        for (int i = 0; i < 3; ++i) {
            CSoundBuffer block(kBlock);
            std::memset(block.data, 0x10 + i, kBlock);
            EXPECT_TRUE(file.Write(&block));
            EXPECT_FALSE(file.Read(&block));  // a writer does not read
        }
    }
    std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 46u + 6000u);
    std::string header = "RIFF" + Le32(6038) + "WAVEfmt " + Le32(18) + kFmt16 +
                         std::string(2, '\0') + "data" + Le32(6000);
    EXPECT_EQ(bytes.substr(0, 46), header);
    EXPECT_EQ(Soxi("-D", path), "0.375000\n");

    CWaveFile reader(path);
    ASSERT_TRUE(reader.IsOpen());
    EXPECT_EQ(std::memcmp(reader.GetFormat(), format.GetFormat(), 18), 0);
    EXPECT_EQ(ReadAll(reader), bytes.substr(46));

    // A cut keeps the samples before it, the sizes written for them.
    {
        CWaveFile file(folder / "cut.wav", format.GetFormat());
        CSoundBuffer block(kBlock);
        std::memcpy(block.data, bytes.data() + 46, kBlock);
        file.Write(&block);
        EXPECT_FALSE(file.KeepSamples(1000)) << "nothing past the end to drop";
        EXPECT_TRUE(file.KeepSamples(500));
    }
    EXPECT_EQ(ReadFile(folder / "cut.wav"),
              "RIFF" + Le32(1038) + bytes.substr(8, 34) + Le32(1000) + bytes.substr(46, 1000));
}

TEST(WaveFile, ReadsFormatAndSamplesOfFilesAndResources) {
    TempFolder folder;
    const std::string samples(3000, '\x22');
    const std::string info = Chunk("LIST", "INFOICMT" + Le32(4) + "note");
    struct Case {
        const char* what;
        std::string bytes;
        std::string expected;
        uint16_t cbSize = 0;
    } cases[] = {
        {"16-byte fmt", Riff(Chunk("fmt ", kFmt16) + Chunk("data", samples)), samples},
        {"extended fmt, read no further than the record",
         Riff(Chunk("fmt ", kFmt16 + std::string("\x02\x00\x77\x77", 4)) + Chunk("data", samples)),
         samples, 2},
        {"a list after the data is not sound",
         Riff(Chunk("fmt ", kFmt16) + Chunk("fact", Le32(1500)) + Chunk("data", samples) + info),
         samples},
        {"data size never written: to the end",
         Riff(Chunk("fmt ", kFmt16) + "data" + Le32(0) + samples), samples},
        {"data header ends the file", Riff(Chunk("fmt ", kFmt16) + "data" + Le32(100)), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(folder / "in.wav", c.bytes);
        CWaveFile file(folder / "in.wav");
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ(file.GetFormat()->nSamplesPerSec, 8000u);
        EXPECT_EQ(file.GetFormat()->cbSize, c.cbSize);
        EXPECT_EQ(ReadAll(file), c.expected);
    }
    CWaveFile greeting(158u), tone(159u);
    ASSERT_TRUE(greeting.IsOpen() && tone.IsOpen());
    EXPECT_EQ(ReadAll(greeting).size(), 120000u);
    EXPECT_EQ(ReadAll(tone).size(), 8000u);
    EXPECT_EQ(tone.GetFormat()->wBitsPerSample, 16);
}

TEST(WaveFile, MalformedFilesAreRefusedWithTheirMessage) {
    platform::SetHeadless(true);
    TempFolder folder;
    struct Case {
        std::string bytes;
        const char* message;
    } cases[] = {
        {Chunk("RIFX", "WAVE"), "Error descending into file"},
        {Riff(Chunk("data", "ab")), "Error descending in wave file"},
        {Riff("junk" + Le32(0xFFFFFFF7) + "x"), "Error descending in wave file"},  // 32-bit wrap
        {Riff("junk" + Le32(0xFFFFFFF8)), "Error descending in wave file"},
        {Riff("fmt " + Le32(1000) + kFmt16), "Error ascending in File"},
        {Riff(Chunk("fmt ", kFmt16) + Chunk("fact", Le32(0))), "error reading data chunk"},
    };
    for (const Case& c : cases) {
        WriteBytes(folder / "bad.wav", c.bytes);
        testing::internal::CaptureStderr();
        CWaveFile file(folder / "bad.wav");
        std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(printed, "MSGBOX " + platform::ProgramCaption() + ": " + c.message + "\n");
    }
    testing::internal::CaptureStderr();
    CWaveFile missing(folder / "missing.wav");
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(WaveFile, RecordingCutOffByAKillStillReads) {
    TempFolder folder;
    std::string path = folder / "killed.wav";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSoundFormat format;
        CWaveFile file(path, format.GetFormat());
        CSoundBuffer block(kBlock);
        std::memset(block.data, 0, kBlock);
        for (int i = 0; i < 20; ++i) file.Write(&block);  // 2.5 s
        raise(SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Soxi("-D", path), "2.500000\n");
    EXPECT_EQ(Soxi("-r", path), "8000\n");
}

}  // namespace
