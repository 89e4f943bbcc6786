// Building and parsing the relay server's JSON messages.
#include "connect/relay_messages.h"

#include <nlohmann/json.hpp>

#include "connect/base64url.h"
#include "core/crypto.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

constexpr char kHelloTextPrefix[] = "tavro-connect/1 pc-hello\n";
constexpr char kPingText[] = R"({"type":"ping"})";

std::string Serialise(const Json& value) {
  // Replacing invalid UTF-8 keeps dump() from throwing on odd caller texts.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Strings are taken as they come; ones that are not UTF-8 are repaired by Serialise.
Json Text(std::string_view text) { return Json(std::string(text)); }

// The nonce is one line of the signed text: a line feed would let the relay shape
// what the PC appears to sign, so no control character (C0, DEL, C1) is accepted.
bool IsSafeNonce(std::string_view nonce) {
  for (size_t i = 0; i < nonce.size(); ++i) {
    const auto c = static_cast<uint8_t>(nonce[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < nonce.size()) {
      const auto next = static_cast<uint8_t>(nonce[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

std::optional<RelayMessage> ParseChallenge(const Json& object) {
  auto nonce = RelayStringField(object, "nonce", kRelayNonceMax);
  if (!nonce || !IsSafeNonce(*nonce)) return std::nullopt;
  return RelayChallenge{std::move(*nonce)};
}

std::optional<RelayMessage> ParseReady(const Json& object) {
  RelayReady ready;
  const auto it = object.find("iceServers");
  if (it != object.end() && it->is_array()) {
    for (const Json& entry : *it) {
      if (ready.iceServers.size() == kRelayIceServersMax) break;
      if (entry.is_string()) ready.iceServers.push_back(entry.get_ref<const std::string&>());
    }
  }
  return ready;
}

std::optional<RelayMessage> ParseConnect(const Json& object) {
  RelayConnect connect;
  auto requestId = RelayStringField(object, "requestId", kRelayRequestIdMax);
  auto phoneId = RelayStringField(object, "phoneId", kRelayPhoneIdMax);
  auto offer = RelayStringField(object, "offer", kRelayOfferMax);
  const auto keyText = RelayStringField(object, "phonePublicKey", kRelayPhoneKeyTextMax);
  if (!requestId || !phoneId || !offer || !keyText || !IsPhoneId(*phoneId)) return std::nullopt;
  const auto key = Base64UrlDecode(*keyText);
  if (!key || key->size() != connect.phonePublicKey.size()) return std::nullopt;
  std::copy(key->begin(), key->end(), connect.phonePublicKey.begin());
  if (PublicKeyId(connect.phonePublicKey) != *phoneId) return std::nullopt;
  connect.requestId = std::move(*requestId);
  connect.phoneId = std::move(*phoneId);
  connect.offer = std::move(*offer);
  connect.turnServers = RelayTurnServers(object);
  return connect;
}

}  // namespace

std::string MakeRelayHello(std::span<const uint8_t, 65> publicKey, std::span<const std::string> phones,
                           std::string_view version, std::span<const uint8_t, 64> signature) {
  Json list = Json::array();
  for (const std::string& phone : phones) list.push_back(Text(phone));
  Json hello = Json::object();
  hello["type"] = "hello";
  hello["publicKey"] = Base64UrlEncode(publicKey);
  hello["phones"] = std::move(list);
  hello["appVersion"] = Text(version);
  hello["signature"] = Base64UrlEncode(signature);
  return Serialise(hello);
}

std::string MakeRelayAnswer(std::string_view requestId, std::string_view description) {
  Json answer = Json::object();
  answer["type"] = "answer";
  answer["requestId"] = Text(requestId);
  answer["answer"] = Text(description);
  return Serialise(answer);
}

std::string MakeRelayReject(std::string_view requestId, std::string_view reason) {
  Json reject = Json::object();
  reject["type"] = "reject";
  reject["requestId"] = Text(requestId);
  reject["reason"] = Text(reason);
  return Serialise(reject);
}

std::string RelayPingText() { return kPingText; }

std::string RelayHelloText(std::string_view pcId, std::string_view nonce, std::span<const std::string> phones) {
  std::string text = kHelloTextPrefix;
  text.append(pcId);
  text.push_back('\n');
  text.append(nonce);
  text.push_back('\n');
  for (size_t i = 0; i < phones.size(); ++i) {
    if (i > 0) text.push_back(',');
    text.append(phones[i]);
  }
  return text;
}

std::optional<RelayMessage> ParseRelayMessage(std::string_view text) noexcept {
  try {
    const Json object = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return std::nullopt;
    const auto type = RelayStringField(object, "type", kRelayTypeMax);
    if (!type) return std::nullopt;
    if (*type == "challenge") return ParseChallenge(object);
    if (*type == "ready") return ParseReady(object);
    if (*type == "connect") return ParseConnect(object);
    if (*type == "pong") return RelayPong{};
    return std::nullopt;
  } catch (...) {
    // Out of memory, or a hashing failure while checking a phone key.
    return std::nullopt;
  }
}

std::string PublicKeyId(std::span<const uint8_t, 65> publicKey) {
  static constexpr char kHex[] = "0123456789abcdef";
  const Digest32 digest = Sha256(publicKey);
  std::string id;
  id.reserve(digest.size() * 2);
  for (const uint8_t b : digest) {
    id.push_back(kHex[b >> 4]);
    id.push_back(kHex[b & 0x0F]);
  }
  return id;
}

bool IsPhoneId(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<std::string> RelayStringField(const nlohmann::json& object, std::string_view key, size_t maxBytes) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  const auto& value = it->get_ref<const std::string&>();
  if (value.empty() || value.size() > maxBytes) return std::nullopt;
  return value;
}

std::vector<RelayTurnServer> RelayTurnServers(const nlohmann::json& message) {
  std::vector<RelayTurnServer> servers;
  if (!message.is_object()) return servers;
  const auto list = message.find("turnServers");
  if (list == message.end() || !list->is_array()) return servers;
  for (const Json& entry : *list) {
    if (servers.size() == kRelayTurnServersMax) break;
    auto username = RelayStringField(entry, "username", kRelayTurnSecretMax);
    auto credential = RelayStringField(entry, "credential", kRelayTurnSecretMax);
    if (!username || !credential) continue;
    const auto urls = entry.find("urls");
    if (urls == entry.end()) continue;
    RelayTurnServer server;
    const auto keep = [&server](const Json& url) {
      if (server.urls.size() == kRelayTurnUrlsMax || !url.is_string()) return;
      const auto& text = url.get_ref<const std::string&>();
      if (!text.empty() && text.size() <= kRelayTurnUrlMax) server.urls.push_back(text);
    };
    // A single value counts as a list of one.
    if (urls->is_array()) {
      for (const Json& url : *urls) keep(url);
    } else {
      keep(*urls);
    }
    if (server.urls.empty()) continue;
    server.username = std::move(*username);
    server.credential = std::move(*credential);
    servers.push_back(std::move(server));
  }
  return servers;
}

}  // namespace kelm
