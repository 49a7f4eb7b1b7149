#include "app/message_player.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QFile>
#include <QMediaDevices>
#include <QtEndian>

namespace {

constexpr int kRiffHeaderBytes = 12;
constexpr int kChunkHeaderBytes = 8;
constexpr int kPcmFormatBytes = 16;
constexpr quint16 WAVE_FORMAT_PCM = 1;

quint32 Le32(const char* p) { return qFromLittleEndian<quint32>(p); }
quint16 Le16(const char* p) { return qFromLittleEndian<quint16>(p); }

bool ReadFormat(const QByteArray& chunk, QAudioFormat* format) {
    if (chunk.size() < kPcmFormatBytes || Le16(chunk.constData()) != WAVE_FORMAT_PCM) return false;
    const quint16 channels = Le16(chunk.constData() + 2);
    const quint32 rate = Le32(chunk.constData() + 4);
    const quint16 bits = Le16(chunk.constData() + 14);
    if (channels == 0 || rate == 0 || (bits != 8 && bits != 16)) return false;
    format->setChannelCount(channels);
    format->setSampleRate(int(rate));
    format->setSampleFormat(bits == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
    return true;
}

}  // namespace

WavSound ReadWavSound(const QString& path) {
    WavSound sound;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return sound;
    const QByteArray riff = file.read(kRiffHeaderBytes);
    if (riff.size() != kRiffHeaderBytes || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE") {
        return sound;
    }
    bool haveFormat = false;
    while (!file.atEnd()) {
        const QByteArray header = file.read(kChunkHeaderBytes);
        if (header.size() != kChunkHeaderBytes) break;
        const qint64 size = Le32(header.constData() + 4);
        const QByteArray id = header.left(4);
        if (id == "fmt ") {
            haveFormat = ReadFormat(file.read(size), &sound.format);
        } else if (id == "data") {
            // A recording cut off by a crash says more than it holds: play what is there.
            sound.pcm = file.read(size);
            sound.ok = haveFormat;
            return sound;
        } else if (!file.seek(file.pos() + size)) {
            break;
        }
        if (size & 1) file.seek(file.pos() + 1);
    }
    return sound;
}

CMessagePlayer::CMessagePlayer() = default;

CMessagePlayer::~CMessagePlayer() {
    if (!m_sink) return;
    m_sink->disconnect(this);
    m_sink->stop();
}

bool CMessagePlayer::Load(const QString& path) {
    Stop();
    m_buffer.close();
    m_sound = ReadWavSound(path);
    m_file = m_sound.ok ? path : QString();
    m_buffer.setData(m_sound.pcm);
    m_buffer.open(QIODevice::ReadOnly);
    emit StateChanged();
    return m_sound.ok;
}

bool CMessagePlayer::Play() {
    if (!m_sound.ok) return false;
    if (m_sink && m_sink->state() == QAudio::SuspendedState) {
        m_sink->resume();
        emit StateChanged();
        return true;
    }
    if (m_buffer.atEnd()) m_buffer.seek(0);
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) return false;
    m_sink = std::make_unique<QAudioSink>(device, m_sound.format);
    connect(m_sink.get(), &QAudioSink::stateChanged, this, &CMessagePlayer::OnSinkState);
    m_sink->start(&m_buffer);
    const bool started = m_sink->error() == QAudio::NoError;
    if (!started) m_sink.reset();
    emit StateChanged();
    return started;
}

void CMessagePlayer::Pause() {
    if (m_sink && m_sink->state() == QAudio::ActiveState) m_sink->suspend();
    emit StateChanged();
}

void CMessagePlayer::Stop() {
    if (!m_sink) return;
    DropSink();
    emit StateChanged();
}

// Stopping on purpose is no end of the message; the sink may be the one that is signalling.
void CMessagePlayer::DropSink() {
    QAudioSink* sink = m_sink.release();
    sink->disconnect(this);
    sink->stop();
    sink->deleteLater();
}

void CMessagePlayer::Unload() {
    Stop();
    m_buffer.close();
    m_sound = WavSound();
    m_file.clear();
    emit StateChanged();
}

void CMessagePlayer::Seek(qint64 ms) {
    const int bytesPerFrame = m_sound.format.bytesPerFrame();
    if (bytesPerFrame <= 0) return;
    const bool playing = IsPlaying();
    Stop();
    qint64 byte = m_sound.format.bytesForDuration(ms * 1000);
    byte -= byte % bytesPerFrame;
    m_buffer.seek(qBound<qint64>(0, byte, m_sound.pcm.size()));
    if (playing) Play();
    emit StateChanged();
}

bool CMessagePlayer::IsPlaying() const { return m_sink && m_sink->state() == QAudio::ActiveState; }

qint64 CMessagePlayer::PositionMs() const {
    qint64 bytes = m_buffer.pos();
    // What the output holds has not been heard yet.
    if (m_sink) bytes -= qMax<qint64>(0, m_sink->bufferSize() - m_sink->bytesFree());
    return BytesToMs(qMax<qint64>(0, bytes));
}

qint64 CMessagePlayer::DurationMs() const { return BytesToMs(m_sound.pcm.size()); }

qint64 CMessagePlayer::BytesToMs(qint64 bytes) const {
    return m_sound.ok ? m_sound.format.durationForBytes(qint32(bytes)) / 1000 : 0;
}

void CMessagePlayer::OnSinkState() {
    if (!m_sink) return;
    const QAudio::State state = m_sink->state();
    if (state == QAudio::IdleState && m_buffer.atEnd()) {
        DropSink();
        emit StateChanged();
        emit PlayedToEnd(m_file);
        return;
    }
    if (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError) DropSink();
    emit StateChanged();
}
