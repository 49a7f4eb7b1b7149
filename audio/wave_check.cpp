#include "audio/wave_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "audio/riff_file.h"
#include "platform/wave_abi.h"

namespace wave_check {

namespace {

constexpr uint32_t kPcmFormatBytes = 16;  // the format record without its cbSize
constexpr uint64_t kMsPerSecond = 1000;

std::string FormatProblem(const platform::WAVEFORMATEX& format) {
    const bool bitsOk = format.wBitsPerSample == 8 || format.wBitsPerSample == 16;
    if (format.wFormatTag == platform::WAVE_FORMAT_PCM && format.nChannels == 1 &&
        format.nSamplesPerSec == kLineRateHz && bitsOk &&
        format.nBlockAlign == format.wBitsPerSample / 8) {
        return "";
    }
    return "格式为" + std::to_string(format.nSamplesPerSec) + " Hz、" +
           std::to_string(format.nChannels) + "声道、" + std::to_string(format.wBitsPerSample) +
           "位、编码" + std::to_string(format.wFormatTag) + "，需要8000 Hz单声道8位或16位PCM";
}

}  // namespace

std::string ProblemForLine(const std::string& path, uint64_t& lengthMs) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return std::string("无法读取: ") + std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return "不是普通文件";
    RiffFile file;
    if (!file.OpenRead(path)) return std::string("无法打开: ") + std::strerror(errno);

    const uint64_t fileEnd = file.Size();
    RiffFile::Chunk riff, fmt, data;
    platform::WAVEFORMATEX format{};
    if (!file.Descend(riff, RiffFile::FourCC("RIFF"), fileEnd, RiffFile::FourCC("WAVE")) ||
        !file.Descend(fmt, RiffFile::FourCC("fmt "), fileEnd) || fmt.size < kPcmFormatBytes ||
        file.Read(&format, kPcmFormatBytes) != kPcmFormatBytes || !file.Ascend(fmt) ||
        !file.Descend(data, RiffFile::FourCC("data"), fileEnd)) {
        return "不是可读的WAV文件";
    }
    std::string problem = FormatProblem(format);
    if (!problem.empty()) return problem;
    // A size of 0 (never written) or past the file's end would play whatever the file holds.
    if (riff.size == 0 || riff.end > fileEnd || data.size == 0 || data.end > riff.end) {
        return "文件头中的长度与文件大小不符";
    }
    lengthMs = uint64_t{data.size} * kMsPerSecond / (kLineRateHz * format.nBlockAlign);
    return "";
}

}  // namespace wave_check
