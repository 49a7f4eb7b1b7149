#include "audio/voice_activity.h"

#include <algorithm>
#include <cmath>

#include "audio/riff_file.h"
#include "platform/little_endian.h"

namespace voice_activity {
namespace {

constexpr size_t kFrameSamples = 160;  // 20 ms at 8000 Hz
constexpr double kSampleRateHz = 8000;
// A frame is the caller's sound 12 dB over the floor, and never below -55 dBFS.
constexpr double kVoiceOverFloorDb = 12;
constexpr double kAbsoluteFloorDb = -55;
// The floor falls to any quieter frame at once and rises 0.05 dB a frame (2.5 dB a second), so
// that a long sound does not become the floor while noise that grows is followed.
constexpr double kFloorRiseDbPerFrame = 0.05;
// A hang-up tone keeps its pitch: zero crossings within this many per frame of the last loud
// frame's, and its level within this many dB.
constexpr int kToneCrossingSlack = 3;
constexpr double kToneLevelSlackDb = 4;
// A hang-up tone lasts to the end of the recording but for one of its gaps; a longer quiet end
// is a line gone silent, and the sound before it was the caller's, steady or not.
constexpr size_t kToneGapMaxFrames = 50;  // 1 s
constexpr size_t kMinVoicedFrames = 10;   // 200 ms of the caller
constexpr double kMinJudgedSeconds = 1.0;

struct Frame {
    double levelDb;
    int crossings;
    bool loud = false;
};

std::vector<Frame> Frames(const std::vector<int16_t>& samples) {
    std::vector<Frame> frames;
    for (size_t at = 0; at + kFrameSamples <= samples.size(); at += kFrameSamples) {
        double power = 0;
        int crossings = 0;
        for (size_t i = at; i < at + kFrameSamples; ++i) {
            power += double(samples[i]) * samples[i];
            if (i > at && (samples[i] >= 0) != (samples[i - 1] >= 0)) ++crossings;
        }
        const double meanSquare = power / kFrameSamples / (32768.0 * 32768.0);
        frames.push_back({10 * std::log10(meanSquare + 1e-12), crossings});
    }
    return frames;
}

void MarkLoud(std::vector<Frame>& frames) {
    double floorDb = frames.empty() ? kAbsoluteFloorDb : frames.front().levelDb;
    for (Frame& frame : frames) {
        floorDb = std::min(floorDb + kFloorRiseDbPerFrame, frame.levelDb);
        frame.loud = frame.levelDb > std::max(floorDb + kVoiceOverFloorDb, kAbsoluteFloorDb);
    }
}

double Median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The first frame of the hang-up sound at the end: quiet, and one steady tone, known by the
// median pitch and level of the last loud run. A frame at a run's edge holds part of a burst.
size_t TailStart(const std::vector<Frame>& frames) {
    size_t runEnd = frames.size();
    while (runEnd > 0 && !frames[runEnd - 1].loud) --runEnd;
    size_t runStart = runEnd;
    while (runStart > 0 && frames[runStart - 1].loud) --runStart;
    if (runStart == runEnd) return 0;
    if (frames.size() - runEnd > kToneGapMaxFrames) return runEnd;
    std::vector<double> crossings, levels;
    for (size_t i = runStart; i < runEnd; ++i) {
        crossings.push_back(frames[i].crossings);
        levels.push_back(frames[i].levelDb);
    }
    const double toneCrossings = Median(crossings), toneLevelDb = Median(levels);
    size_t start = frames.size();
    for (; start > 0; --start) {
        const size_t i = start - 1;
        const Frame& frame = frames[i];
        const bool edge =
            i == 0 || !frames[i - 1].loud || i + 1 == frames.size() || !frames[i + 1].loud;
        const bool sameTone = std::abs(frame.crossings - toneCrossings) <= kToneCrossingSlack &&
                              std::abs(frame.levelDb - toneLevelDb) <= kToneLevelSlackDb;
        if (frame.loud && !edge && !sameTone) break;
    }
    return start;
}

}  // namespace

Verdict Judge(const std::vector<int16_t>& samples, Ending ending) {
    std::vector<Frame> frames = Frames(samples);
    MarkLoud(frames);
    const size_t judged = ending == Ending::CallersOwn ? frames.size() : TailStart(frames);
    Verdict verdict;
    verdict.voicedFrames = size_t(std::count_if(frames.begin(), frames.begin() + long(judged),
                                                [](const Frame& frame) { return frame.loud; }));
    verdict.judgedSeconds = double(judged * kFrameSamples) / kSampleRateHz;
    verdict.worthKeeping =
        verdict.voicedFrames >= kMinVoicedFrames && verdict.judgedSeconds >= kMinJudgedSeconds;
    return verdict;
}

Verdict JudgeFile(const std::string& path, Ending ending) {
    Verdict unreadable;
    unreadable.worthKeeping = true;
    RiffFile file;
    RiffFile::Chunk riff, format, data;
    if (!file.OpenRead(path) ||
        !file.Descend(riff, RiffFile::FourCC("RIFF"), UINT64_MAX, RiffFile::FourCC("WAVE")) ||
        !file.Descend(format, RiffFile::FourCC("fmt "), riff.end)) {
        return unreadable;
    }
    uint8_t fields[16];
    if (file.Read(fields, sizeof fields) != sizeof fields || platform::GetLe16(fields) != 1 ||
        platform::GetLe16(fields + 2) != 1 || platform::GetLe32(fields + 4) != kSampleRateHz ||
        platform::GetLe16(fields + 14) != 16 || !file.Ascend(format) ||
        !file.Descend(data, RiffFile::FourCC("data"), riff.end)) {
        return unreadable;
    }
    // A message cut off by a crash may say more than the file holds.
    const uint64_t bytes = std::min<uint64_t>(data.size, file.Size() - data.start);
    std::vector<uint8_t> raw(size_t(bytes / 2 * 2));
    if (!raw.empty() && file.Read(raw.data(), raw.size()) != int64_t(raw.size())) return unreadable;
    std::vector<int16_t> samples(raw.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = int16_t(platform::GetLe16(raw.data() + 2 * i));
    }
    return Judge(samples, ending);
}

}  // namespace voice_activity
