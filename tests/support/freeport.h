#pragma once

#include <QHostAddress>
#include <QTcpServer>

// A TCP port on 127.0.0.1 that nothing listened on a moment ago: a connect there is refused, and a
// test may listen there itself, unless another program has taken it since.
inline quint16 freeLocalPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
