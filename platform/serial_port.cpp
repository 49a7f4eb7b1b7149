#include "platform/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

thread_local int t_lastErrno = 0;

SerialStatus FromErrno(int err) {
    t_lastErrno = err;
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return SerialStatus::Pending;
        case EIO:
        case ENXIO:
        case ENODEV:
        case EBADF:
        case EPIPE:
            return SerialStatus::Gone;
        default:
            return SerialStatus::Failed;
    }
}

SerialStatus WaitFor(int fd, short events, uint32_t timeoutMs) {
    if (fd < 0) {
        poll(nullptr, 0, static_cast<int>(timeoutMs));  // no device: a plain pause
        return SerialStatus::Pending;
    }
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, static_cast<int>(timeoutMs));
    if (ready < 0) return FromErrno(errno);
    if (ready == 0) return SerialStatus::Pending;
    if (entry.revents & (POLLNVAL | POLLERR)) return SerialStatus::Gone;
    if (entry.revents & events) return SerialStatus::Ok;
    return SerialStatus::Gone;  // POLLHUP alone: nothing more will come
}

speed_t SpeedCode(uint32_t baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 230400:
            return B230400;
        default:
            return B115200;
    }
}

}  // namespace

int SerialLastErrno() { return t_lastErrno; }
const char* SerialLastErrorText() { return std::strerror(t_lastErrno); }
bool SerialLastErrorBusy() { return t_lastErrno == EBUSY; }

long SerialQueuedBytes(int fd) {
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) < 0) {
        FromErrno(errno);
        return -1;
    }
    return queued;
}

bool SerialTakeLineErrors(int fd, SerialErrorCounts& last) {
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) < 0) {
        last.available = false;
        return false;
    }
    SerialErrorCounts now;
    now.available = true;
    now.frame = static_cast<uint32_t>(counts.frame);
    now.overrun = static_cast<uint32_t>(counts.overrun);
    now.parity = static_cast<uint32_t>(counts.parity);
    now.brk = static_cast<uint32_t>(counts.brk);
    now.bufOverrun = static_cast<uint32_t>(counts.buf_overrun);
    bool rose = last.available && (now.frame != last.frame || now.overrun != last.overrun ||
                                   now.parity != last.parity || now.brk != last.brk ||
                                   now.bufOverrun != last.bufOverrun);
    last = now;
    return rose;
}

SerialStatus SerialRead(int fd, void* buffer, size_t size, size_t* done) {
    *done = 0;
    ssize_t got = read(fd, buffer, size);
    if (got < 0) return FromErrno(errno);
    if (got == 0 && size > 0) return SerialStatus::Gone;  // end of file: the device is gone
    *done = static_cast<size_t>(got);
    return SerialStatus::Ok;
}

SerialStatus SerialWrite(int fd, const void* data, size_t size, size_t* done) {
    *done = 0;
    ssize_t put = write(fd, data, size);
    if (put < 0) return FromErrno(errno);
    *done = static_cast<size_t>(put);
    return SerialStatus::Ok;
}

SerialStatus SerialWaitReadable(int fd, uint32_t timeoutMs) {
    return WaitFor(fd, POLLIN, timeoutMs);
}
SerialStatus SerialWaitWritable(int fd, uint32_t timeoutMs) {
    return WaitFor(fd, POLLOUT, timeoutMs);
}

bool SerialHungUp(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 0) < 0) return FromErrno(errno) == SerialStatus::Gone;
    return (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool SerialSetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        FromErrno(errno);
        return false;
    }
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SerialPurge(int fd) {
    if (tcflush(fd, TCIOFLUSH) == 0) return true;
    FromErrno(errno);
    return false;
}

bool SerialDiscardInput(int fd) {
    if (tcflush(fd, TCIFLUSH) == 0) return true;
    FromErrno(errno);
    return false;
}

int SerialDuplicate(int fd) {
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) FromErrno(errno);
    return copy;
}

int SerialWakeOpen() {
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) FromErrno(errno);
    return wake;
}

void SerialWakeSignal(int wake) {
    uint64_t one = 1;
    if (wake >= 0) (void)!write(wake, &one, sizeof one);
}

SerialStatus SerialWaitDevice(int wake, int fd, bool wantWrite, int timeoutMs,
                              SerialReadiness& ready) {
    ready = SerialReadiness();
    const short deviceEvents = wantWrite ? POLLIN | POLLOUT : POLLIN;
    pollfd entries[2] = {{wake, POLLIN, 0}, {fd, deviceEvents, 0}};
    int count = poll(entries, fd >= 0 ? 2 : 1, timeoutMs);
    if (count < 0) return FromErrno(errno);
    if (count == 0) return SerialStatus::Pending;
    if (entries[0].revents & POLLIN) {
        uint64_t signals;
        (void)!read(wake, &signals, sizeof signals);
        ready.woken = true;
    }
    if (fd >= 0) {
        ready.readable = entries[1].revents & POLLIN;
        ready.writable = entries[1].revents & POLLOUT;
        ready.hungUp = entries[1].revents & (POLLHUP | POLLERR | POLLNVAL);
    }
    return SerialStatus::Ok;
}

bool SerialRaiseDtr(int fd) {
    int bits = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIS, &bits) == 0) return true;
    FromErrno(errno);
    return false;
}

bool SerialLowerDtr(int fd) {
    int bits = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIC, &bits) == 0) return true;
    FromErrno(errno);
    return false;
}

bool SerialClose(int fd) {
    // The next opener must not find the device still exclusive: a pty whose other side stays
    // open keeps the mark past our last close.
    ioctl(fd, TIOCNXCL);
    if (close(fd) == 0) return true;
    FromErrno(errno);
    return false;
}

int SerialOpenRaw(const char* path, uint32_t baud) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        FromErrno(errno);
        return -1;
    }
    termios tio{};
    if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
        FromErrno(ENOTTY);
        close(fd);
        return -1;
    }
    // Ours alone while we hold it: another program that opens it too would take our answers.
    ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CSIZE);
    // HUPCL: a modem set to &D2 goes on hook when we close, even after a crash.
    tio.c_cflag |= CS8 | CREAD | CLOCAL | CRTSCTS | HUPCL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, SpeedCode(baud));
    cfsetospeed(&tio, SpeedCode(baud));
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        // Some USB serial drivers refuse RTS/CTS; run without it there.
        tio.c_cflag &= ~CRTSCTS;
        if (tcsetattr(fd, TCSANOW, &tio) != 0) {
            FromErrno(errno);
            close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace platform
