#include "bluetoothlibrary.h"

#include "socketconnect.h"
#include "uniquefd.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The limit of each step of the connect: the SDP connect's retries of a busy adapter and the RFCOMM
// connect. Paging a device in range takes up to 5.12 s with the controller's default page time-out;
// link setup, authentication of a paired phone and the RFCOMM handshake add a few seconds. 20 s, the
// same limit libbluetooth sets on each SDP answer, leaves room for a phone slow to wake its radio,
// while a device that went out of range or has no listener fails the attempt instead of holding the
// capture thread until the kernel's own, longer, connection timers run out.
constexpr int kStepTimeoutMs = 20000;

// How often the SDP connect tries again while the adapter reports itself busy (another connect or
// page still under way).
constexpr int kSdpBusyPauseMs = 100;

// RFCOMM server channels are 1 to 30; anything else in a record is not a channel to connect to.
constexpr int kFirstRfcommChannel = 1;
constexpr int kLastRfcommChannel = 30;

// The SDP session, closed (socket and memory) on every path.
struct SdpSession
{
    sdp_session_t *session = nullptr;
    ~SdpSession()
    {
        if (session)
            sdp_close(session);
    }
};

// A list whose items belong to someone else (values on the stack, or parts of a record): only the
// links are freed.
struct SdpLinks
{
    sdp_list_t *list = nullptr;
    ~SdpLinks() { sdp_list_free(list, nullptr); }
};

// The records of a search answer, owned by the list.
struct SdpRecords
{
    sdp_list_t *list = nullptr;
    ~SdpRecords() { sdp_list_free(list, freeRecord); }

private:
    static void freeRecord(void *record) { sdp_record_free(static_cast<sdp_record_t *>(record)); }
};

// A record's access protocols: a list of protocol sequences, each a list of elements that point into
// the record. The sequences' links and the outer links are freed, the elements stay with the record.
struct AccessProtocols
{
    sdp_list_t *list = nullptr;
    ~AccessProtocols()
    {
        for (sdp_list_t *sequence = list; sequence; sequence = sequence->next)
            sdp_list_free(static_cast<sdp_list_t *>(sequence->data), nullptr);
        sdp_list_free(list, nullptr);
    }
};

bool isNamed(const sdp_record_t *record, const char *serviceName)
{
    // Room for the wanted name and its 0: a longer name does not fit, so it cannot match cut short.
    std::string name(std::strlen(serviceName) + 1, '\0');
    if (sdp_get_service_name(record, name.data(), int(name.size())) != 0)
        return false;
    return std::strcmp(name.c_str(), serviceName) == 0;
}

// The RFCOMM channel of the record, or 0 when it has none.
int rfcommChannel(const sdp_record_t *record)
{
    AccessProtocols protocols;
    if (sdp_get_access_protos(record, &protocols.list) != 0)
        return 0;
    const int channel = sdp_get_proto_port(protocols.list, RFCOMM_UUID);
    return channel >= kFirstRfcommChannel && channel <= kLastRfcommChannel ? channel : 0;
}

// An SDP session with the device, or null. libbluetooth's own retry of a busy adapter
// (SDP_RETRY_IF_BUSY) calls connect() again without a pause and without end; this one pauses between
// tries and gives up after kStepTimeoutMs.
sdp_session_t *connectSdp(const bdaddr_t &adapter, const bdaddr_t &device)
{
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
    for (;;) {
        if (sdp_session_t *session = sdp_connect(&adapter, &device, 0))
            return session;
        if (errno != EBUSY || Clock::now() >= giveUp)
            return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(kSdpBusyPauseMs));
    }
}

// Browses the device's public services for the one with this name; its RFCOMM channel, or 0.
int findServiceChannel(const bdaddr_t &adapter, const bdaddr_t &device, const char *serviceName)
{
    SdpSession sdp{connectSdp(adapter, device)};
    if (!sdp.session)
        return 0;

    uuid_t publicBrowseGroup;
    sdp_uuid16_create(&publicBrowseGroup, PUBLIC_BROWSE_GROUP);
    SdpLinks search{sdp_list_append(nullptr, &publicBrowseGroup)};
    uint32_t allAttributes = 0x0000ffff;
    SdpLinks attributes{sdp_list_append(nullptr, &allAttributes)};
    if (!search.list || !attributes.list)
        return 0;

    // Freed whatever the result, in case a failed search leaves records behind.
    SdpRecords records;
    const int searched = sdp_service_search_attr_req(sdp.session, search.list, SDP_ATTR_REQ_RANGE, attributes.list,
                                                     &records.list);
    if (searched != 0)
        return 0;
    for (sdp_list_t *item = records.list; item; item = item->next) {
        const auto *record = static_cast<const sdp_record_t *>(item->data);
        if (!isNamed(record, serviceName))
            continue;
        if (const int channel = rfcommChannel(record))
            return channel;
    }
    return 0;
}

// A connected, non-blocking RFCOMM socket to the channel, or -1.
int connectRfcomm(const bdaddr_t &adapter, const bdaddr_t &device, int channel)
{
    UniqueFd sock(::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_RFCOMM));
    if (!sock.isOpen())
        return -1;
    sockaddr_rc local{};
    local.rc_family = AF_BLUETOOTH;
    local.rc_bdaddr = adapter;
    if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return -1;
    sockaddr_rc target{};
    target.rc_family = AF_BLUETOOTH;
    target.rc_bdaddr = device;
    target.rc_channel = uint8_t(channel);
    if (connectSocket(sock.get(), reinterpret_cast<const sockaddr *>(&target), sizeof target, kStepTimeoutMs) != 0)
        return -1;
    return sock.release();
}

} // namespace

int bt_lib_stream_connect(const BtDeviceInfo *device, const char *serviceName)
{
    if (!device || !serviceName)
        return -1;
    static_assert(sizeof(bdaddr_t) == sizeof device->address, "the record holds the address in bdaddr_t form");
    bdaddr_t address;
    std::memcpy(&address, device->address, sizeof address);
    // All zeros is an empty record (no device chosen, or an index outside the list); the local
    // address would make libbluetooth ask this machine's own SDP server instead of the phone.
    const bdaddr_t none{};
    const bdaddr_t local{{0, 0, 0, 0xff, 0xff, 0xff}};
    if (bacmp(&address, &none) == 0 || bacmp(&address, &local) == 0)
        return -1;

    // Out through the adapter the device is paired with; left to the kernel (the first adapter that
    // is up) only for a device the last list did not have.
    bdaddr_t adapter{};
    btPairedAdapter(device->address, adapter.b);
    const int channel = findServiceChannel(adapter, address, serviceName);
    if (channel == 0)
        return -1;
    return connectRfcomm(adapter, address, channel);
}

int bt_lib_stream_close()
{
    // The SDP session ends inside bt_lib_stream_connect and the socket belongs to the caller, so the
    // library holds nothing for a stream between the two calls: there is nothing to release.
    return 0;
}
