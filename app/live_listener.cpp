#include "app/live_listener.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <algorithm>

namespace {

constexpr char kNoOutputLogText[] = "无法打开声音输出，留言照常录制，但不能监听";

}  // namespace

CLiveListener::CLiveListener(Log log) : m_log(std::move(log)) {
    m_drainTimer.setInterval(kDrainMs);
    connect(&m_drainTimer, &QTimer::timeout, this, &CLiveListener::Drain);
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
        m_log(kNoOutputLogText);
        return false;
    }
    auto sink = std::make_unique<QAudioSink>(device, format);
    sink->setBufferSize(format.bytesForDuration(kOutputBufferMs * 1000));
    QIODevice* output = sink->start();
    if (!output || sink->error() != QAudio::NoError) {
        m_log(kNoOutputLogText);
        return false;
    }
    m_sink = std::move(sink);
    m_output = output;
    const QByteArray cushion(format.bytesForDuration(kCushionMs * 1000),
                             bitsPerSample == 8 ? char(0x80) : char(0));
    m_output->write(cushion);
    m_drainTimer.start();
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.clear();
    m_maxQueuedBytes = size_t(format.bytesForDuration(kQueuedMs * 1000));
    m_running = true;
    return true;
}

void CLiveListener::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_running = false;
        m_queue.clear();
    }
    m_drainTimer.stop();
    m_output = nullptr;
    if (m_sink) m_sink->stop();
    m_sink.reset();
}

void CLiveListener::Feed(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (!m_running) return;
        m_queue.insert(m_queue.end(), data, data + size);
        // An output that stopped taking samples must not make the caller fall ever further behind.
        if (m_queue.size() > m_maxQueuedBytes) {
            const size_t excess = (m_queue.size() - m_maxQueuedBytes + 1) & ~size_t(1);
            m_queue.erase(m_queue.begin(), m_queue.begin() + std::min(excess, m_queue.size()));
        }
    }
    QMetaObject::invokeMethod(this, &CLiveListener::Drain, Qt::QueuedConnection);
}

void CLiveListener::Drain() {
    if (!m_sink || !m_output) return;
    std::lock_guard<std::mutex> lock(m_queueMutex);
    const qint64 room = std::min<qint64>(m_sink->bytesFree(), qint64(m_queue.size())) & ~qint64(1);
    if (room <= 0) return;
    const qint64 written = m_output->write(m_queue.data(), room);
    if (written > 0) m_queue.erase(m_queue.begin(), m_queue.begin() + written);
}
