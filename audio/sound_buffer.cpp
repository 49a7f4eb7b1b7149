#include "audio/sound_buffer.h"

#include <new>

CSoundBuffer::CSoundBuffer(int32_t size) {
    if (size <= 0) return;
    m_storage.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    data = m_storage.get();
    if (data) this->size = size;
}

CSoundBuffer::CSoundBuffer(uint8_t* data, int32_t size) : data(data), size(data ? size : 0) {}

std::unique_ptr<uint8_t[]> CSoundBuffer::TakeBytes() { return std::move(m_storage); }
