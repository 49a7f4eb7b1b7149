#include "audio/sound_thread.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

CSoundThread::CSoundThread() : m_worker([this] { Run(); }) {}

CSoundThread::~CSoundThread() { EndWorker(); }

void CSoundThread::EndWorker() {
    if (!m_worker.joinable()) return;
    m_queue.PostQuit(0);
    m_worker.join();
}

void CSoundThread::Run() {
    m_queue.Run([this](const platform::ThreadMessage& message) { OnMessage(message); });
}

platform::WAVEHDR* CSoundThread::NewBlock(std::unique_ptr<uint8_t[]> bytes, uint32_t size) {
    auto block = std::make_unique<Block>();
    block->bytes = std::move(bytes);
    block->header.lpData = block->bytes.get();
    block->header.dwBufferLength = size;
    platform::WAVEHDR* header = &block->header;
    std::lock_guard<std::mutex> lock(m_blocksMutex);
    m_blocks.emplace(header, std::move(block));
    return header;
}

void CSoundThread::ReleaseBlock(platform::WAVEHDR* header) {
    std::lock_guard<std::mutex> lock(m_blocksMutex);
    m_blocks.erase(header);
}

void CSoundThread::Trace(platform::MMRESULT result, const char* label) {
    static const bool enabled = [] {
        const char* trace = std::getenv("VANTORO_AUDIO_TRACE");
        return trace && *trace == '1';
    }();
    if (enabled) {
        std::fprintf(stderr, "audio %s: %s\n", label, platform::WaveErrorText(result).c_str());
    }
}
