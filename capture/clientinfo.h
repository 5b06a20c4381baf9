#pragma once

#include <string>

// Who this client is: its version (the window title, the About box, the version query's payload and the
// highest server version the handshake accepts) and where its users find help.
namespace ClientInfo {

// CMakeLists.txt reads these two numbers as the package's version: keep their "= N" form.
inline constexpr int kMajorVersion = 2;
inline constexpr int kMinorVersion = 19;

// "2.19", as the programs' --version prints it.
inline std::string versionText()
{
    return std::to_string(kMajorVersion) + '.' + std::to_string(kMinorVersion);
}

// The product's web page and support address, until the product has its own.
inline constexpr char kWebPage[] = "https://lumo-webcam.example.org/";
inline constexpr char kSupportEmail[] = "support@lumo-webcam.example.org";

// The camera server's TCP port on the phone, for WiFi and, through the forward, for USB.
inline constexpr int kServerPort = 8123;

} // namespace ClientInfo
