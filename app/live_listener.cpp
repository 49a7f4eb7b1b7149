#include "app/live_listener.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QMediaDevices>
#include <algorithm>
#include <cstring>

void CLiveSamples::Push(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.insert(m_queue.end(), data, data + size);
    if (m_queue.size() > m_maxQueuedBytes) {
        size_t excess = m_queue.size() - m_maxQueuedBytes;
        excess += excess & 1;  // whole 16-bit samples stay whole
        m_queue.erase(m_queue.begin(), m_queue.begin() + std::min(excess, m_queue.size()));
    }
}

qint64 CLiveSamples::bytesAvailable() const {
    // The output always finds something to read: silence fills the gaps between blocks.
    return QIODevice::bytesAvailable() + qint64(m_maxQueuedBytes);
}

qint64 CLiveSamples::readData(char* data, qint64 maxSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t wanted = size_t(maxSize) & ~size_t(1);
    const size_t taken = std::min(wanted, m_queue.size() & ~size_t(1));
    std::copy_n(m_queue.begin(), taken, data);
    m_queue.erase(m_queue.begin(), m_queue.begin() + taken);
    // A gap the line left is played as silence, so the output never waits and never lags.
    std::memset(data + taken, 0, wanted - taken);
    return qint64(wanted);
}

CLiveListener::~CLiveListener() { Stop(); }

bool CLiveListener::Start(int sampleRateHz, int bitsPerSample) {
    Stop();
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    QAudioFormat format;
    format.setSampleRate(sampleRateHz);
    format.setChannelCount(1);
    format.setSampleFormat(bitsPerSample == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
    if (device.isNull() || !device.isFormatSupported(format)) {
        m_log("无法打开声音输出，留言照常录制，但不能监听");
        return false;
    }
    const int bytesPerMs = sampleRateHz * (bitsPerSample / 8) / 1000;
    auto samples = std::make_shared<CLiveSamples>(size_t(bytesPerMs * kQueuedMs));
    samples->open(QIODevice::ReadOnly);
    auto sink = std::make_unique<QAudioSink>(device, format);
    sink->setBufferSize(bytesPerMs * kOutputBufferMs);
    sink->start(samples.get());
    if (sink->error() != QAudio::NoError) {
        m_log("无法打开声音输出，留言照常录制，但不能监听");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_feedMutex);
    m_samples = std::move(samples);
    m_sink = std::move(sink);
    return true;
}

void CLiveListener::Stop() {
    std::unique_ptr<QAudioSink> sink;
    {
        std::lock_guard<std::mutex> lock(m_feedMutex);
        sink = std::move(m_sink);
    }
    if (sink) sink->stop();
    sink.reset();
    std::lock_guard<std::mutex> lock(m_feedMutex);
    m_samples.reset();
}

void CLiveListener::Feed(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_feedMutex);
    if (m_samples) m_samples->Push(data, size);
}
