#include "pseudoterminal.h"

#include "systemerror.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        m_error = systemError("posix_openpt");
        return;
    }
    char name[128];
    int number = -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0
        || ::ioctl(master, TIOCGPTN, &number) != 0
        || ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        m_error = systemError("setting up the pseudo-terminal");
        ::close(master);
        return;
    }
    m_master = master;
    m_slaveNumber = number;
    m_slavePath = QString::fromLocal8Bit(name);
}

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
}

void PseudoTerminal::hangUp()
{
    if (m_master == -1)
        return;
    ::close(m_master);
    m_master = -1;
}
