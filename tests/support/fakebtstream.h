#pragma once

#include "btdevicestream.h"

#include <string>

// A stand-in for the Bluetooth library's two stream calls, and the switches of it. A connect that
// succeeds hands the caller one end of an AF_UNIX stream socket pair, non-blocking like the library's
// RFCOMM socket, and keeps the other, the phone's end (blocking), for the test.
// The calls may come from any thread, as they do from a connect left to end alone.
namespace FakeBtStream {

// The calls to give a BtDeviceStream in place of the library's.
BtDeviceStream::Library library();

// Closes the phone's end, zeroes the counters and the recorded arguments, and lets connects succeed
// (and go on, when held).
void reset();
// While set, the connect returns -1 and hands out nothing.
void setConnectFails(bool fails);
// While set, the connect waits, as for a phone that does not answer.
void setConnectHangs(bool hangs);

int connectCalls();
int closeCalls();
// What the last connect was given: the whole record (zeros before any call) and the service name
// (empty for a null pointer).
BtDeviceInfo lastDevice();
std::string lastServiceName();

// The descriptor the last successful connect handed out (the caller owns it), -1 before any.
int handedOut();
// The phone's end of the last pair, owned here until closePhoneEnd() or reset(); -1 when none.
int phoneEnd();
void closePhoneEnd();

} // namespace FakeBtStream
