// The page's settings object, status snapshot and their rules.
#include "app/page_state.h"

#include <algorithm>
#include <cmath>
#include <format>

#include "app/qr_code.h"
#include "core/percent_encode.h"

namespace kelm {

using nlohmann::json;

std::string PinText(uint32_t pin) { return std::format("{:06}", pin); }

std::string PairingMethodText(PairingMethod method) {
  switch (method) {
    case PairingMethod::Authenticator: return "authenticator";
    case PairingMethod::Off: return "off";
    default: return "pin";
  }
}

PairingMethod ParsePairingMethod(std::string_view text) {
  if (text == "authenticator") return PairingMethod::Authenticator;
  if (text == "off") return PairingMethod::Off;
  return PairingMethod::Pin;
}

std::string NotificationAccessText(uint32_t access) {
  switch (access) {
    case 1: return "unknown";
    case 2: return "allowed";
    case 3: return "denied";
    default: return "unavailable";
  }
}

json ConnectStateJson(const ConnectClient::Status& connect) {
  const char* state = "off";
  switch (connect.state) {
    case ConnectClient::State::Online: state = "online"; break;
    case ConnectClient::State::Connecting: state = "connecting"; break;
    case ConnectClient::State::Failed: state = "failed"; break;
    default: break;
  }
  return json{{"state", state}, {"detail", connect.detail}};
}

bool IsValidServerUrl(std::string_view text) {
  if (text.size() > kMaxServerUrlBytes) return false;
  if (text.find_first_of(std::string_view(" \t\r\n\"<>")) != std::string_view::npos) return false;
  for (std::string_view prefix : {std::string_view("https://"), std::string_view("http://")}) {
    if (text.starts_with(prefix)) return text.size() > prefix.size() && text[prefix.size()] != '/';
  }
  return false;
}

uint32_t BitrateFromJson(const json& value) {
  if (!value.is_number()) {
    throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(), &value);
  }
  if (value.is_number_unsigned()) {
    return static_cast<uint32_t>(std::clamp<uint64_t>(value.get<uint64_t>(), kMinBitrateMbps, kMaxBitrateMbps));
  }
  if (value.is_number_integer()) {
    const int64_t n = value.get<int64_t>();
    if (n < 0) return kMaxBitrateMbps;
    return static_cast<uint32_t>(std::clamp<int64_t>(n, kMinBitrateMbps, kMaxBitrateMbps));
  }
  const double d = value.get<double>();
  if (std::isnan(d)) return kMinBitrateMbps;
  if (d < 0) return kMaxBitrateMbps;
  const double whole = std::trunc(d);
  if (whole >= kMaxBitrateMbps) return kMaxBitrateMbps;
  if (whole <= kMinBitrateMbps) return kMinBitrateMbps;
  return static_cast<uint32_t>(whole);
}

std::string PairingLink(const HostStatus& status) {
  const std::string ip = status.addresses.empty() ? std::string() : status.addresses.front().address;
  if (status.options.usbOnly || ip.empty()) return {};
  const std::string pin =
      status.options.pairingMethod == PairingMethod::Pin ? "&pin=" + PinText(status.options.pin) : std::string();
  return std::format("tavro://connect?host={}&port={}{}&name={}", ip, status.options.port, pin,
                     PercentEncode(status.options.name));
}

const std::string& QrCache::Svg(std::string_view text) {
  if (filled_ && text == text_) return svg_;
  text_ = text;
  svg_ = QrSvg(text);
  filled_ = true;
  ++renders_;
  return svg_;
}

json SettingsJson(const Settings& settings, bool startWithWindows, uint32_t notificationAccess) {
  return json{
      {"startWithWindows", startWithWindows},
      {"allowWifi", settings.allowWifi},
      {"fixedPin", settings.fixedPin},
      {"codeEveryTime", settings.codeEveryTime},
      {"useAdb", settings.useAdb},
      {"keepAwake", settings.keepAwake},
      {"forwardNotifications", settings.forwardNotifications},
      {"connectEnabled", settings.connectEnabled},
      {"pairingMethod", PairingMethodText(settings.pairingMethod)},
      {"authenticatorSet", !settings.authenticatorSecret.empty()},
      {"bitrateMbps", settings.bitrateMbps},
      {"connectServer", settings.connectServer},
      {"notificationAccess", NotificationAccessText(notificationAccess)},
  };
}

json BuildUiState(const HostStatus& status, const std::vector<PairedDevice>& devices,
                  std::string_view identityFingerprint, QrCache& pairingQr, QrCache& appQr) {
  json addresses = json::array();
  for (const LocalAddress& a : status.addresses) {
    addresses.push_back({{"ip", a.address}, {"adapter", a.adapterName}, {"virtual", a.isVirtual}});
  }
  json paired = json::array();
  for (const PairedDevice& d : devices) {
    bool connected = false;
    for (const HostSessionStatus& s : status.sessions) connected = connected || s.deviceId == d.id;
    paired.push_back({{"id", d.id},
                      {"name", d.name},
                      {"pairedAt", d.pairedAt},
                      {"lastSeen", d.lastSeen},
                      {"connected", connected}});
  }
  json sessions = json::array();
  for (const HostSessionStatus& s : status.sessions) {
    sessions.push_back({{"id", s.id},
                        {"device", s.deviceName},
                        {"peer", s.peer},
                        {"usb", s.usb},
                        {"connect", s.relay},
                        {"mode", s.mirror ? "Mirror" : "Extend"},
                        {"width", s.width},
                        {"height", s.height},
                        {"fps", s.fps},
                        {"audio", s.audio},
                        {"transfer", s.transferText}});
  }
  const std::string link = PairingLink(status);
  const HostOptions& o = status.options;
  return json{
      {"type", "status"},
      {"running", status.running},
      {"error", status.lastError},
      {"driver", status.driverConnected},
      {"adb", status.usbActive},
      {"port", o.port},
      {"usbOnly", o.usbOnly},
      {"useAdb", o.useAdb},
      {"pin", PinText(o.pin)},
      {"pairingMethod", PairingMethodText(o.pairingMethod)},
      {"pcName", o.name},
      {"identity", identityFingerprint},
      {"ip", status.addresses.empty() ? std::string() : status.addresses.front().address},
      {"addresses", std::move(addresses)},
      {"pairedDevices", std::move(paired)},
      {"sessions", std::move(sessions)},
      {"pairingLink", link},
      {"pairingQr", pairingQr.Svg(link)},
      {"appUrl", kCompanionAppUrl},
      {"appQr", appQr.Svg(kCompanionAppUrl)},
      {"connect", ConnectStateJson(status.connect)},
  };
}

std::string PageJsonText(const json& message) {
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kelm
