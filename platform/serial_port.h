#pragma once
#include <cstddef>
#include <cstdint>

// Serial primitives on a file descriptor: the only place that talks termios and ioctl for the
// modem's data channel. Every errno is turned into a SerialStatus in one function.
namespace platform {

enum class SerialStatus {
    Ok,
    Pending,  // the transfer would block: wait for the descriptor, then go on
    Gone,     // the device went away (hang-up, unplugged, closed descriptor)
    Failed,   // any other failure
};

// The last errno seen by a primitive of this thread (for messages).
int SerialLastErrno();
// The same in words, and whether it said the device is held by another program.
const char* SerialLastErrorText();
bool SerialLastErrorBusy();

// Number of bytes queued for reading, or -1 when the device cannot tell (see SerialLastStatus).
long SerialQueuedBytes(int fd);

// Line error counters (framing, overrun, parity, break, buffer overrun) where the device keeps
// them; a pty or a device without counters reports none.
struct SerialErrorCounts {
    bool available = false;
    uint32_t frame = 0;
    uint32_t overrun = 0;
    uint32_t parity = 0;
    uint32_t brk = 0;
    uint32_t bufOverrun = 0;
};
// Reads the counters; returns true when any of them went up since `last`, and updates `last`.
bool SerialTakeLineErrors(int fd, SerialErrorCounts& last);

// Non-blocking transfers: at most `size` bytes, `*done` set to the bytes moved.
SerialStatus SerialRead(int fd, void* buffer, size_t size, size_t* done);
SerialStatus SerialWrite(int fd, const void* data, size_t size, size_t* done);

// Waits up to `timeoutMs` for the descriptor to become readable / writable (a plain pause for
// fd < 0). Ok when it is,
// Pending on time-out, Gone on hang-up or error condition.
SerialStatus SerialWaitReadable(int fd, uint32_t timeoutMs);
SerialStatus SerialWaitWritable(int fd, uint32_t timeoutMs);

// True when the device has hung up or the descriptor is no longer usable.
bool SerialHungUp(int fd);

// Makes reads and writes on the descriptor non-blocking.
bool SerialSetNonBlocking(int fd);

// Discards both queues of the device.
bool SerialPurge(int fd);
// Discards what the device sent and nobody has read yet.
bool SerialDiscardInput(int fd);

// A second descriptor of the device (close-on-exec), or -1.
int SerialDuplicate(int fd);

// A wake-up (an eventfd) that another thread signals to end a SerialWaitDevice early; -1 on
// failure. Closed with SerialClose.
int SerialWakeOpen();
void SerialWakeSignal(int wake);
struct SerialReadiness {
    bool woken = false;
    bool readable = false;
    bool writable = false;
    bool hungUp = false;  // hang-up or error condition on the device
};
// Waits up to `timeoutMs` (negative: no limit) for `wake` or for the device (fd < 0: not
// watched) to be readable, or writable when `wantWrite`; a signalled wake is cleared. Ok when
// something is ready, Pending on time-out or interruption, else the failure of the wait.
SerialStatus SerialWaitDevice(int wake, int fd, bool wantWrite, int timeoutMs,
                              SerialReadiness& ready);

// Raises DTR (ignored by devices without modem control lines).
bool SerialRaiseDtr(int fd);
// Lowers DTR: a modem set to &D2 hangs up and returns to command state. False on devices
// without modem control lines (a pty).
bool SerialLowerDtr(int fd);

// Closes the descriptor, first lifting the exclusive use that SerialOpenRaw set.
bool SerialClose(int fd);

// Opens a modem's serial device: raw, 8N1, no echo, non-blocking, given speed (ignored by ptys),
// RTS/CTS flow control where the driver allows it, DTR dropped on the last close (HUPCL), for
// exclusive use (TIOCEXCL: other openers get EBUSY). Returns the descriptor, or -1 (also for a file
// that is no terminal); a device another program holds that way fails with SerialLastErrno() EBUSY.
int SerialOpenRaw(const char* path, uint32_t baud);

}  // namespace platform
