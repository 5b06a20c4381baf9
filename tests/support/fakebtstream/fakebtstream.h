#pragma once

#include "btdeviceinfo.h"

#include <string>

// Drives the stand-in for the Bluetooth library's two stream calls. A connect that succeeds hands the
// caller one end of an AF_UNIX stream socket pair, non-blocking like the library's RFCOMM socket, and
// keeps the other, the phone's end (blocking), for the test.
// The calls may come from any thread, as they do from a connect left to end alone.
namespace FakeBtStream {

// Closes the phone's end, zeroes the counters and the recorded arguments, and lets connects succeed
// (and go on, when held).
void reset();
// While set, bt_lib_stream_connect returns -1 and hands out nothing.
void setConnectFails(bool fails);
// While set, bt_lib_stream_connect waits, as for a phone that does not answer.
void setConnectHangs(bool hangs);

int connectCalls();
int closeCalls();
// What the last bt_lib_stream_connect was given: the whole record (zeros before any call or for a
// null pointer) and the service name (empty for a null pointer).
BtDeviceInfo lastDevice();
std::string lastServiceName();

// The descriptor the last successful connect handed out (the caller owns it), -1 before any.
int handedOut();
// The phone's end of the last pair, owned here until closePhoneEnd() or reset(); -1 when none.
int phoneEnd();
void closePhoneEnd();

} // namespace FakeBtStream
