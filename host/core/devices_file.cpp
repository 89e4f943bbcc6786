// Parsing of the paired-device file.
#include "core/devices_file.h"

#include <algorithm>
#include <exception>

#include <nlohmann/json.hpp>

#include "core/encoding.h"
#include "core/json_numbers.h"

namespace kelm {

bool ParseDevicesDocument(std::string_view text, const KeyTextDecoder& decode, DevicesDocument& out,
                          std::string& error) {
  using Json = nlohmann::json;
  try {
    const Json doc = Json::parse(text);
    for (const Json& entry : doc.value("devices", Json::array())) {
      const std::optional<std::vector<uint8_t>> key = decode(entry.value("key", std::string()));
      if (!key || key->size() != 65 || (*key)[0] != 0x04) {
        continue;
      }
      PairedDevice device;
      std::copy(key->begin(), key->end(), device.key.begin());
      device.id = KeyFingerprint(device.key);
      device.name = entry.value("name", std::string("Device"));
      device.pairedAt = JsonInteger(entry, "pairedAt", int64_t{0});
      device.lastSeen = JsonInteger(entry, "lastSeen", int64_t{0});
      out.devices.push_back(std::move(device));
    }
    out.lastAuthenticatorStep = JsonInteger(doc, "lastAuthenticatorStep", uint64_t{0});
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

}  // namespace kelm
