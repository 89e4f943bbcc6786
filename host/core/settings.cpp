#include "core/settings.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "core/crypto.h"
#include "core/dpapi.h"
#include "core/durable_file.h"
#include "core/encoding.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/registry_values.h"
#include "core/settings_fields.h"
#include "core/text.h"
#include "core/win_handle.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"tavro";

// Decodes and decrypts one protected field; no value when either step fails.
std::optional<std::vector<uint8_t>> Unprotect(const std::string& text) {
  const std::optional<std::vector<uint8_t>> sealed = Base64Decode(text);
  if (!sealed || sealed->empty()) {
    return std::nullopt;
  }
  return DpapiUnprotect(*sealed);
}

// Protected and encoded text; no value when DPAPI refuses, so the caller never
// mistakes a lost secret for an absent one.
std::optional<std::string> Protect(std::span<const uint8_t> plain) {
  std::optional<std::vector<uint8_t>> sealed = DpapiProtect(plain);
  if (!sealed) {
    return std::nullopt;
  }
  std::string text = Base64Encode(*sealed);
  if (text.empty()) {
    return std::nullopt;
  }
  return text;
}

// Takes over the former product's file while ours does not exist yet.
void TakeOverFormerSettings(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return;
  }
  const std::wstring dataDir = path.substr(0, path.find_last_of(L'\\'));
  const size_t cut = dataDir.find_last_of(L'\\');
  if (cut == std::wstring::npos) {
    return;
  }
  const std::wstring former = dataDir.substr(0, cut) + L"\\Morrowvane\\settings.json";
  if (CopyFileW(former.c_str(), path.c_str(), TRUE)) {
    LogInfo("Took over the settings of Morrowvane");
  }
}

}  // namespace

std::wstring SettingsPath() { return RoamingDataDir() + L"\\settings.json"; }

Settings LoadSettings() {
  Settings s;
  const std::wstring path = SettingsPath();
  TakeOverFormerSettings(path);
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) {
    return s;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();  // the re-save below replaces this file
  std::string error;
  bool hadPlainPin = false;
  switch (ReadSettingsText(text, Unprotect, s, error, hadPlainPin)) {
    case SettingsText::Invalid:
      LogWarn("settings.json is invalid, using defaults");
      return s;
    case SettingsText::PartlyRead:
      LogWarn("settings.json: {}", error);
      break;
    case SettingsText::Valid:
      break;
  }
  if (hadPlainPin) {
    SaveSettings(s);  // replaces the plain PIN by its protected form
  }
  return s;
}

bool SaveSettings(const Settings& s) {
  std::string pinText;
  if (s.fixedPin && s.pin != 0) {
    std::vector<uint8_t> pin = {static_cast<uint8_t>(s.pin), static_cast<uint8_t>(s.pin >> 8),
                                static_cast<uint8_t>(s.pin >> 16), static_cast<uint8_t>(s.pin >> 24)};
    std::optional<std::string> sealed = Protect(pin);
    WipeBytes(pin.data(), pin.size());
    if (!sealed) {
      LogWarn("Could not save settings: the PIN could not be protected");
      return false;
    }
    pinText = std::move(*sealed);
  }
  std::string secretText;
  if (!s.authenticatorSecret.empty()) {
    std::optional<std::string> sealed = Protect(s.authenticatorSecret);
    if (!sealed) {
      LogWarn("Could not save settings: the authenticator secret could not be protected");
      return false;
    }
    secretText = std::move(*sealed);
  }
  Json doc = {
      {"allowWifi", s.allowWifi},
      {"authenticatorProtected", secretText},
      {"bitrateMbps", s.bitrateMbps},
      {"codeEveryTime", s.codeEveryTime},
      {"connectEnabled", s.connectEnabled},
      {"connectServer", s.connectServer},
      {"fixedPin", s.fixedPin},
      {"forwardNotifications", s.forwardNotifications},
      {"keepAwake", s.keepAwake},
      {"lastRunVersion", s.lastRunVersion},
      {"pairingMethod", static_cast<uint8_t>(s.pairingMethod)},
      {"pinProtected", pinText},
      {"trayHintShown", s.trayHintShown},
      {"updateChannel", s.updateChannel},
      {"updateNotifiedVersion", s.updateNotifiedVersion},
      {"useAdb", s.useAdb},
  };
  std::string text;
  try {
    text = doc.dump(2) + "\n";
  } catch (const std::exception& e) {
    LogWarn("Could not save settings: {}", e.what());
    return false;
  }
  uint32_t error = 0;
  switch (WriteFileDurably(SettingsPath(), text, error)) {
    case DurableWrite::Written:
      return true;
    case DurableWrite::TemporaryFailed:
      return false;
    case DurableWrite::MoveFailed:
      LogWarn("Could not save settings: {}", ErrorText(HRESULT_FROM_WIN32(error)));
      return false;
  }
  return false;
}

std::wstring AutostartCommand() { return L"\"" + ExecutablePath() + L"\" --minimized"; }

bool IsAutostartEnabled() {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  return RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, buffer, &size) ==
         ERROR_SUCCESS;
}

bool SetAutostart(bool enable) {
  const RegKey key = CreateRegKey(HKEY_CURRENT_USER, kRunKey, KEY_SET_VALUE);
  if (!key) return false;
  const LSTATUS status =
      enable ? WriteRegString(key, kRunValue, AutostartCommand()) : DeleteRegValue(key, kRunValue);
  return status == ERROR_SUCCESS;
}

}  // namespace kelm
