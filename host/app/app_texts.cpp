// The tray application's portable texts and rules.
#include "app/app_texts.h"

#include <format>

namespace kelm {
namespace {

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

}  // namespace

std::wstring FitText(std::wstring_view text, size_t n) {
  if (text.size() < n) return std::wstring(text);
  if (n < 2) return std::wstring();
  size_t keep = n - 2;
  // Never leave half a surrogate pair before the ellipsis.
  if (keep > 0 && IsHighSurrogate(text[keep - 1])) --keep;
  return std::wstring(text.substr(0, keep)) + L"\u2026";
}

std::wstring DoubleAmpersands(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    out += c;
    if (c == L'&') out += L'&';
  }
  return out;
}

bool IsAllowedExternalUrl(std::wstring_view text) {
  constexpr size_t kMaxUrl = 2048;
  if (text.size() > kMaxUrl) return false;
  for (wchar_t c : text) {
    if (c <= 0x20 || c == 0x7F) return false;
    switch (c) {
      case L'"': case L'<': case L'>': case L'\\': case L'^': case L'`': case L'{': case L'|': case L'}':
        return false;
      default:
        break;
    }
  }
  return text.starts_with(L"https://") || text.starts_with(L"http://") || text.starts_with(L"ms-settings:");
}

Balloon TransferBalloon(bool received, bool completed, std::wstring_view device, std::wstring_view fileName,
                        std::wstring_view savedPath) {
  const std::wstring dev(device), file(fileName);
  if (received && completed) {
    return {L"Received from " + dev, file + L"\nSaved in Downloads\\tavro. Click to show it.", std::wstring(savedPath)};
  }
  if (received) return {L"Receiving failed", file + L" from " + dev + L" wasn't received completely.", {}};
  if (completed) return {L"Sent to " + dev, file, {}};
  return {L"Sending failed", file + L" couldn't be sent to " + dev + L".", {}};
}

Balloon ConnectedBalloon(std::wstring_view device, bool usb) {
  return {L"Tablet connected", std::wstring(device) + (usb ? L" connected via USB" : L" connected via Wi-Fi"), {}};
}

Balloon DisconnectedBalloon(std::wstring_view device) {
  return {L"Tablet disconnected", std::wstring(device) + L" disconnected", {}};
}

Balloon PendingFilesBalloon(size_t pendingCount) {
  return {L"No device connected",
          std::format(L"Connect your phone or tablet to send {} file{}.", pendingCount, pendingCount == 1 ? L"" : L"s"),
          {}};
}

Balloon TrayHintBalloon() {
  return {L"tavro keeps running in the tray", L"Tablets can still connect. Right-click the tray icon to quit.", {}};
}

Balloon UpdatedBalloon() {
  const std::string_view version(kAppVersion);
  return {L"tavro was updated", L"Now running tavro " + std::wstring(version.begin(), version.end()) + L".", {}};
}

Balloon UpdateAvailableBalloon(std::wstring_view version, bool required) {
  return {L"tavro " + std::wstring(version) + L" is available",
          required ? L"This update is required. Open tavro and click Update." : L"Open tavro and click Update when it suits you.",
          {}};
}

std::vector<TrayMenuItem> TrayMenuRows(std::wstring_view statusText, bool anySession, bool autostart) {
  return {
      {kMenuOpen, L"Open tavro", true, false, true},
      {kMenuSendFiles, L"Send files to device\u2026", anySession, false, false},
      {0, L"", true, false, false},
      {0, DoubleAmpersands(FitText(statusText, 64)), false, false, false},
      {0, L"", true, false, false},
      {kMenuAutostart, L"Start with Windows", true, autostart, false},
      {0, L"", true, false, false},
      {kMenuQuit, L"Quit", true, false, false},
  };
}

uint64_t InstanceHash(std::wstring_view localDataDir) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (wchar_t c : localDataDir) {
    const uint16_t unit = static_cast<uint16_t>(c);
    for (uint8_t byte : {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)}) {
      hash ^= byte;
      hash *= 0x100000001b3ULL;
    }
  }
  return hash;
}

std::wstring SingleInstanceMutexName(std::wstring_view localDataDir) {
  return L"Local\\tavro.SingleInstance." + std::to_wstring(InstanceHash(localDataDir));
}

std::wstring JoinFileList(const std::vector<std::wstring>& files) {
  std::wstring block;
  for (const std::wstring& f : files) {
    block += f;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

std::vector<std::wstring> SplitFileList(const uint16_t* units, size_t count) {
  std::vector<std::wstring> files;
  if (units == nullptr) return files;
  size_t i = 0;
  while (i < count && units[i] != 0) {
    std::wstring path;
    while (i < count && units[i] != 0) path += static_cast<wchar_t>(units[i++]);
    files.push_back(std::move(path));
    ++i;  // past the NUL
  }
  return files;
}

}  // namespace kelm
