#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

// A TCP server on 127.0.0.1 that plays a script against one client, on a thread of its own, so that
// tests can drive blocking client code against a real socket:
//
//   LoopbackServer server({LoopbackServer::receive(7), LoopbackServer::send(reply), LoopbackServer::hold()});
//   WinSockStream stream("127.0.0.1", server.port());
//
// The script runs once the client connects. hold() keeps the connection open and silent until the
// client closes it or the server is destroyed; the end of the script closes the connection.
class LoopbackServer
{
public:
    struct Step
    {
        enum Kind { Send, Receive, Pause, Hold } kind;
        QByteArray bytes;
        int count = 0;
    };
    static Step send(const QByteArray &bytes) { return {Step::Send, bytes, 0}; }
    static Step receive(int count) { return {Step::Receive, {}, count}; }
    static Step pause(int milliseconds) { return {Step::Pause, {}, milliseconds}; }
    static Step hold() { return {Step::Hold, {}, 0}; }

    explicit LoopbackServer(QList<Step> script);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    quint16 port() const { return m_port; }
    // Everything received so far by receive() steps.
    QByteArray received() const;
    // Waits until the script has run to its end (the connection is then closed).
    bool waitFinished(int milliseconds);

private:
    void serve(std::promise<quint16> &ready);

    QList<Step> m_script;
    quint16 m_port = 0;
    std::atomic<bool> m_quit{false};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::promise<void> m_finished;
    std::future<void> m_finishedFuture = m_finished.get_future();
    std::thread m_thread;
};
