#pragma once
// Live listening: the samples the recorder receives, played on the desktop's default sound
// output while a message records. The recorder's thread queues them; the user-interface thread
// writes them on to the output, which never holds more than a short buffer of them.

#include <QAudioSink>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CLiveListener : public QObject {
    Q_OBJECT
public:
    using Log = std::function<void(const std::string&)>;
    explicit CLiveListener(Log log);
    ~CLiveListener() override;

    // Opens the default output for PCM of this rate and sample size (8 or 16 bits, mono); false
    // (after one log line) when it cannot be opened.
    bool Start(int sampleRateHz, int bitsPerSample);
    void Stop();
    bool IsRunning() const { return m_sink != nullptr; }
    // The recorder's samples, from its thread; nothing happens while stopped.
    void Feed(const uint8_t* data, size_t size);

    // The recorder hands on blocks of 125 ms. The output starts with a little silence, so
    // that it still plays while the next block comes, and holds only what was written to it:
    // the caller is heard about a block and that cushion late. What the output cannot take at
    // once waits, up to kQueuedMs.
    static constexpr int kCushionMs = 60;
    static constexpr int kQueuedMs = 160;
    static constexpr int kOutputBufferMs = 400;
    static constexpr int kDrainMs = 20;

private:
    void Drain();

    Log m_log;
    QTimer m_drainTimer;
    std::unique_ptr<QAudioSink> m_sink;
    QIODevice* m_output = nullptr;  // the sink's, while it runs
    std::mutex m_queueMutex;
    std::vector<char> m_queue;
    size_t m_maxQueuedBytes = 0;
    bool m_running = false;  // under m_queueMutex: Feed queues only then
};
