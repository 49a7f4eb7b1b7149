#pragma once
// Live listening: the samples the recorder receives, played on the desktop's default sound
// output while a message records. A bounded queue between the recorder's thread and the sound
// output keeps the caller's voice at most a few blocks behind.

#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// What the sound output pulls: the newest samples, silence when none has come.
class CLiveSamples : public QIODevice {
public:
    explicit CLiveSamples(size_t maxQueuedBytes) : m_maxQueuedBytes(maxQueuedBytes) {}
    // From any thread; the oldest bytes go when the queue is full.
    void Push(const uint8_t* data, size_t size);
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    mutable std::mutex m_mutex;
    std::deque<uint8_t> m_queue;
    size_t m_maxQueuedBytes;
};

class CLiveListener : public QObject {
    Q_OBJECT
public:
    using Log = std::function<void(const std::string&)>;
    explicit CLiveListener(Log log) : m_log(std::move(log)) {}
    ~CLiveListener() override;

    // Opens the default output for PCM of this rate and sample size (8 or 16 bits, mono); false
    // (after one log line) when it cannot be opened.
    bool Start(int sampleRateHz, int bitsPerSample);
    void Stop();
    bool IsRunning() const { return m_sink != nullptr; }
    // The recorder's samples, from its thread; nothing happens while stopped.
    void Feed(const uint8_t* data, size_t size);

    // Upper bound of what waits in the queue and in the output's buffer.
    static constexpr int kQueuedMs = 80;
    static constexpr int kOutputBufferMs = 100;

private:
    Log m_log;
    std::unique_ptr<QAudioSink> m_sink;
    std::shared_ptr<CLiveSamples> m_samples;
    std::mutex m_feedMutex;
};
