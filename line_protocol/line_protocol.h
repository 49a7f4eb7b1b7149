#pragma once
// The simulated telephone line between vantoro-call and vantoro-vmodem: a Unix
// SOCK_SEQPACKET socket, one message per packet, the first byte names the message.

#include <cstddef>
#include <cstdint>
#include <string>

namespace line_protocol {

constexpr int kSampleRate = 8000;
constexpr int kBlockSamples = 160;  // 20 ms
constexpr int64_t kBlockNs = 20'000'000;
constexpr size_t kMaxPacket = 2048;

// Caller to modem.
constexpr char kSetup = 'S';  // payload: the caller's number (digits, may be empty)
// The telephone on the called line was picked up while it rang: the call is connected without
// the modem, which can join it later (ATA in Class 1).
constexpr char kHandset = 'P';
// Both directions: payload is kBlockSamples samples, 16-bit little-endian linear.
constexpr char kAudio = 'A';
// Modem to caller.
constexpr char kRing = 'R';    // payload: ring interval in ms, decimal
constexpr char kAnswer = 'O';  // the called modem went off hook
constexpr char kHangup = 'H';  // the called modem went on hook; the socket closes next
constexpr char kBusy = 'B';    // the line stayed busy; the socket closes next
// Hanging up from the caller's side is closing the socket.

// The most samples one audio packet carries.
constexpr size_t kMaxAudioSamples = (kMaxPacket - 1) / 2;

// $XDG_RUNTIME_DIR/vantoro-line.sock, or the socket in the user's private folder of the
// temporary folder; empty when the user has none: the socket must then be named.
std::string defaultSocketPath();

// The payload of a kAudio packet: at most kMaxAudioSamples of `samples`, little-endian.
std::string audioPayload(const int16_t* samples, size_t count);

// The samples of a kAudio packet's payload (the bytes after its type) into `samples`, which
// has room for kMaxAudioSamples; returns how many there were.
size_t decodeAudio(const char* payload, size_t bytes, int16_t* samples);

}  // namespace line_protocol
