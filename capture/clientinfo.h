#pragma once

#include <string>

// Who this client is: its version (the window title, the About box, the version query's payload, the
// highest server version the handshake accepts and the simulator's default), the largest frame it
// takes, and where its users find help.
namespace ClientInfo {

// CMakeLists.txt reads these two numbers as the package's version: keep their "= N" form.
inline constexpr int kMajorVersion = 2;
inline constexpr int kMinorVersion = 19;

// "2.19", as the programs' --version prints it.
inline std::string versionText()
{
    return std::to_string(kMajorVersion) + '.' + std::to_string(kMinorVersion);
}

// The largest frame the client streams (8K UHD): a larger size from the phone fails the handshake
// instead of asking for gigabytes of pixels, no frame buffer is made larger, and the simulator
// generates nothing larger.
inline constexpr long long kMaxFramePixels = 7680LL * 4320;

// The product's web page and support address, until the product has its own.
inline constexpr char kWebPage[] = "https://lumo-webcam.example.org/";
inline constexpr char kSupportEmail[] = "support@lumo-webcam.example.org";

// The camera server's TCP port on the phone, for WiFi and, through the forward, for USB.
inline constexpr int kServerPort = 8123;

} // namespace ClientInfo
