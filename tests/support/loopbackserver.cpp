#include "loopbackserver.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

LoopbackServer::LoopbackServer(QList<Step> script)
    : m_script(std::move(script))
{
    std::promise<quint16> ready;
    std::future<quint16> port = ready.get_future();
    m_thread = std::thread([this, &ready] { serve(ready); });
    m_port = port.get();
}

LoopbackServer::~LoopbackServer()
{
    m_quit = true;
    m_thread.join();
}

QByteArray LoopbackServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

bool LoopbackServer::waitFinished(int milliseconds)
{
    return m_finishedFuture.wait_for(std::chrono::milliseconds(milliseconds)) == std::future_status::ready;
}

void LoopbackServer::serve(std::promise<quint16> &ready)
{
    // Sockets made on this thread and used with the blocking waitFor* calls: no event loop needed.
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    ready.set_value(server.serverPort());

    QTcpSocket *socket = nullptr;
    while (!m_quit && !socket) {
        if (server.waitForNewConnection(50))
            socket = server.nextPendingConnection();
    }
    if (socket) {
        bool peerGone = false;
        for (const Step &step : std::as_const(m_script)) {
            if (m_quit || peerGone)
                break;
            switch (step.kind) {
            case Step::Send:
                socket->write(step.bytes);
                while (socket->bytesToWrite() > 0 && !m_quit && socket->state() == QAbstractSocket::ConnectedState)
                    socket->waitForBytesWritten(50);
                break;
            case Step::Receive: {
                QByteArray got;
                while (got.size() < step.count && !m_quit) {
                    if (socket->bytesAvailable() == 0 && !socket->waitForReadyRead(50)) {
                        if (socket->state() != QAbstractSocket::ConnectedState) {
                            peerGone = true;
                            break;
                        }
                        continue;
                    }
                    got += socket->read(step.count - got.size());
                }
                std::lock_guard lock(m_mutex);
                m_received += got;
                break;
            }
            case Step::Pause: {
                QElapsedTimer timer;
                timer.start();
                while (!m_quit && timer.elapsed() < step.count)
                    QThread::msleep(5);
                break;
            }
            case Step::Hold:
                while (!m_quit && socket->state() == QAbstractSocket::ConnectedState) {
                    socket->waitForReadyRead(50);
                    socket->readAll();
                }
                break;
            }
        }
        socket->close();
        delete socket;
    }
    m_finished.set_value();
}
