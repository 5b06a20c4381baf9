#include "rfcommservice.h"

#include "systemerror.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QTcpSocket>
#include <QVariantMap>

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The service class of the simulator's record, as a phone app names its service with a UUID of its
// own. Clients look for the service by name; the class only has to be one nobody else registers.
const QString serviceClass = QStringLiteral("a3c5f7e1-2b4d-4f60-8e1a-7c9b0d2e4f51");
// The profile object bluetoothd would call back (Release, when it shuts down). Nothing is exported
// there: with no channel of its own, bluetoothd never hands this profile a connection.
const QString profilePath = QStringLiteral("/org/lumo/phonesim/camera");

// What a phone publishes for an RFCOMM server socket: class, L2CAP + RFCOMM channel, public browse
// group, name; in BlueZ's XML record format.
QString serviceRecord(const QString &serviceName, int channel)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>"
                          "<record>"
                          "<attribute id=\"0x0001\"><sequence><uuid value=\"%1\"/></sequence></attribute>"
                          "<attribute id=\"0x0004\"><sequence>"
                          "<sequence><uuid value=\"0x0100\"/></sequence>"
                          "<sequence><uuid value=\"0x0003\"/><uint8 value=\"0x%2\"/></sequence>"
                          "</sequence></attribute>"
                          "<attribute id=\"0x0005\"><sequence><uuid value=\"0x1002\"/></sequence></attribute>"
                          "<attribute id=\"0x0100\"><text value=\"%3\"/></attribute>"
                          "</record>")
        .arg(serviceClass)
        .arg(channel, 2, 16, QLatin1Char('0'))
        .arg(serviceName.toHtmlEscaped());
}

} // namespace

RfcommService::RfcommService(const QString &serviceName, int channel)
{
    const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    if (fd < 0) {
        m_error = systemError("RFCOMM socket (does this machine have Bluetooth?)");
        return;
    }
    sockaddr_rc local{};
    local.rc_family = AF_BLUETOOTH;
    local.rc_bdaddr = bdaddr_t{}; // every adapter
    local.rc_channel = uint8_t(channel);
    socklen_t length = sizeof local;
    // Channel 0: listen() takes the first free one, which getsockname() then tells.
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 || ::listen(fd, 1) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        m_error = systemError(channel ? "listening on the RFCOMM channel" : "listening on a free RFCOMM channel");
        ::close(fd);
        return;
    }
    m_channel = local.rc_channel;
    m_listener = fd;
    if (!registerRecord(serviceName)) {
        ::close(m_listener);
        m_listener = -1;
    }
}

RfcommService::~RfcommService()
{
    if (m_listener != -1)
        ::close(m_listener);
}

bool RfcommService::registerRecord(const QString &serviceName)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        m_error = QStringLiteral("no system bus to register the service record on: %1").arg(bus.lastError().message());
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/org/bluez"),
                                                       QStringLiteral("org.bluez.ProfileManager1"),
                                                       QStringLiteral("RegisterProfile"));
    // Role "server" without a Channel: bluetoothd publishes the record and opens no socket itself.
    const QVariantMap options{
        {QStringLiteral("Name"), serviceName},
        {QStringLiteral("Role"), QStringLiteral("server")},
        {QStringLiteral("ServiceRecord"), serviceRecord(serviceName, m_channel)},
    };
    call << QVariant::fromValue(QDBusObjectPath(profilePath)) << serviceClass << options;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        m_error = QStringLiteral("bluetoothd did not take the service record: %1").arg(reply.errorMessage());
        return false;
    }
    return true;
}

std::unique_ptr<QIODevice> RfcommService::nextClient(QString &peer)
{
    for (;;) {
        sockaddr_rc remote{};
        socklen_t length = sizeof remote;
        const int fd = ::accept4(m_listener, reinterpret_cast<sockaddr *>(&remote), &length, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0) {
            m_error = systemError("accepting an RFCOMM connection");
            return nullptr;
        }
        char address[18];
        ::ba2str(&remote.rc_bdaddr, address);
        peer = QLatin1String(address);
        // Qt drives any connected stream socket; a QTcpSocket lets PhoneSession tell a client that
        // went away from one that is only quiet, as it does over TCP.
        auto socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(fd)) {
            m_error = QStringLiteral("cannot use the RFCOMM connection: %1").arg(socket->errorString());
            ::close(fd);
            return nullptr;
        }
        return socket;
    }
}
