#pragma once

#include "descriptorwait.h"
#include "transportstream.h"

#include <memory>
#include <string>

class StreamInterrupt;

// How long one transfer on the serial port may take, in milliseconds. A read ends with what it has
// once interByteMs pass between two bytes, and at the latest after totalConstantMs plus
// totalPerByteMs per requested byte; a transfer that moves no byte at all in that time fails. Writes
// have the same total limit.
struct SerialTimeouts
{
    int interByteMs = 500;
    int totalConstantMs = 30000;
    int totalPerByteMs = 200;
};

// A serial line to the phone, known by its port number: number N opens the path template with "%d"
// replaced by N (/dev/rfcommN by default, the serial ports that `rfcomm bind` makes).
//
// open() takes the tty for itself (another holder makes it fail) and clears only the input and output
// processing that would corrupt binary data, in-band XON/XOFF flow control among it; baud rate,
// character size, parity and hardware flow control stay as they are, and the tty's settings are put
// back on close(). Input the tty held from before the open is dropped. It returns 0, or -100 when the
// port is missing, busy or no tty. read() and write() move exactly the requested bytes; a transfer
// that moves nothing within the time-outs, or a failing tty, closes the port and throws (read 0,
// write 1); a closed port throws 0. The optional interrupt ends every wait at once, closing the port.
class SerialPort : public TransportStream
{
public:
    static constexpr const char *kDefaultPathTemplate = "/dev/rfcomm%d";

    explicit SerialPort(int port, std::string pathTemplate = kDefaultPathTemplate, SerialTimeouts timeouts = {},
                        const StreamInterrupt *interrupt = nullptr);
    ~SerialPort() override;

    int open() override;
    int close() override;
    int read(unsigned char *buffer, int length) override;
    void write(const unsigned char *buffer, int length) override;

    bool isOpen() const { return m_fd != -1; }
    // The device path of the port: the template with the number put in.
    std::string path() const { return pathOf(m_port, m_pathTemplate); }
    static std::string pathOf(int port, const std::string &pathTemplate);

private:
    struct SavedSettings; // the tty's settings from before open(), put back by close()

    // Moves all length bytes in as many transfers as it takes; a transfer that moves nothing closes
    // the port and throws.
    void transferAll(WaitFor direction, unsigned char *buffer, int length);
    int transfer(WaitFor direction, unsigned char *buffer, int length);

    int m_fd = -1;
    const int m_port;
    const std::string m_pathTemplate;
    const SerialTimeouts m_timeouts;
    const StreamInterrupt *const m_interrupt;
    std::unique_ptr<SavedSettings> m_saved;
};
