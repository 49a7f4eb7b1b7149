#pragma once
#include <cstdint>
#include <memory>

// One block of audio bytes passed between a sound thread and its owner. The allocating
// constructor owns its bytes until TakeBytes hands them on (to the device block that carries
// them); the wrapping constructor never owns.
class CSoundBuffer {
public:
    explicit CSoundBuffer(int32_t size);
    CSoundBuffer(uint8_t* data, int32_t size);
    virtual ~CSoundBuffer() = default;
    CSoundBuffer(const CSoundBuffer&) = delete;
    CSoundBuffer& operator=(const CSoundBuffer&) = delete;

    std::unique_ptr<uint8_t[]> TakeBytes();
    bool Owns() const { return m_storage != nullptr; }

    uint8_t* data = nullptr;
    int32_t size = 0;  // valid bytes; a read may set it to 0 or below

private:
    std::unique_ptr<uint8_t[]> m_storage;
};

// Hands a block to the owner of a sound thread: the player asks for it to be filled, the
// recorder passes it on. The buffer is valid only during the call.
using SoundDataCallback = void (*)(CSoundBuffer* buffer, void* context);
