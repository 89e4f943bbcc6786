#pragma once
// What the window's page is told: the settings object, the status snapshot with its
// pairing link and QR codes, and the small texts and rules behind them. No Windows here.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/host_status.h"
#include "core/pairing.h"
#include "core/settings.h"

namespace kelm {

// The companion app's download page, shown as a link and a QR code.
inline constexpr char kCompanionAppUrl[] = "https://tavro.app/android";
inline constexpr char kOverridesNotice[] = "Some settings are overridden by command-line options for this run.";
inline constexpr uint32_t kMinBitrateMbps = 2;
inline constexpr uint32_t kMaxBitrateMbps = 200;
inline constexpr size_t kMaxServerUrlBytes = 256;

// The PIN as six digits with leading zeros.
std::string PinText(uint32_t pin);
std::string PairingMethodText(PairingMethod method);
// "authenticator" and "off"; any other text is PIN pairing.
PairingMethod ParsePairingMethod(std::string_view text);
// The notification listener's access state (0 unavailable, 1 unknown, 2 allowed, 3 denied).
std::string NotificationAccessText(uint32_t access);
// The relay client's state as {"state": ..., "detail": ...}.
nlohmann::json ConnectStateJson(const ConnectClient::Status& connect);
// An http or https address with a host, at most 256 bytes, without blanks, quotes or angle brackets.
bool IsValidServerUrl(std::string_view text);
// The page's bitrate: any JSON number, the fraction dropped, kept within 2..200 (a
// negative number counts as too large). Anything else throws the JSON library's type error.
uint32_t BitrateFromJson(const nlohmann::json& value);

// The link a phone scans to pair with this PC; empty over USB only or without an address.
std::string PairingLink(const HostStatus& status);

// The last text and its SVG: an unchanged link is not encoded again.
class QrCache {
 public:
  const std::string& Svg(std::string_view text);
  uint64_t Renders() const { return renders_; }

 private:
  bool filled_ = false;
  std::string text_;
  std::string svg_;
  uint64_t renders_ = 0;
};

nlohmann::json SettingsJson(const Settings& settings, bool startWithWindows, uint32_t notificationAccess);
nlohmann::json BuildUiState(const HostStatus& status, const std::vector<PairedDevice>& devices,
                            std::string_view identityFingerprint, QrCache& pairingQr, QrCache& appQr);

// Compact text with sorted keys; invalid UTF-8 in any text becomes U+FFFD instead of throwing.
std::string PageJsonText(const nlohmann::json& message);

}  // namespace kelm
