#pragma once
// Plays one stored message on the desktop's default sound output: play, pause, seek, and a
// signal when it has been played to its end.

#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

// The PCM of a WAV file (8 or 16 bits): its "fmt " and first "data" chunk.
struct WavSound {
    QAudioFormat format;
    QByteArray pcm;
    bool ok = false;
};
WavSound ReadWavSound(const QString& path);

class CMessagePlayer : public QObject {
    Q_OBJECT
public:
    CMessagePlayer();
    ~CMessagePlayer() override;

    // Loads the file (stopping what played); false when it is no sound this can play.
    bool Load(const QString& path);
    // Plays from the position, or goes on after a pause; false when no output opens.
    bool Play();
    void Pause();
    void Stop();
    // Stops and forgets the loaded file.
    void Unload();
    void Seek(qint64 ms);
    bool IsPlaying() const;
    qint64 PositionMs() const;
    qint64 DurationMs() const;
    const QString& File() const { return m_file; }

signals:
    void PlayedToEnd(const QString& file);
    void StateChanged();

private:
    void OnSinkState();
    void DropSink();
    qint64 BytesToMs(qint64 bytes) const;

    QString m_file;
    WavSound m_sound;
    QBuffer m_buffer;
    std::unique_ptr<QAudioSink> m_sink;
};
