// Reaches the local update site's tools with a minimal Winsock HTTP/1.1 client.
#include "update/site_client.h"

#include <windows.h>

#include <cstdlib>
#include <format>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/text.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm::test {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

uint16_t PortFrom(const char* name) { return static_cast<uint16_t>(std::atoi(Env(name).c_str())); }

std::wstring UnixToWine(const std::string& path) {
  std::wstring out = L"Z:" + Utf8ToWide(path);
  for (auto& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

}  // namespace

bool UpdateSite::Available() { return !Env("TAVRO_UPDATE_SITE_ROOT").empty(); }
uint16_t UpdateSite::HttpPort() { return PortFrom("TAVRO_UPDATE_HTTP_PORT"); }
uint16_t UpdateSite::HttpsPort() { return PortFrom("TAVRO_UPDATE_HTTPS_PORT"); }
uint16_t UpdateSite::HttpsOtherPort() { return PortFrom("TAVRO_UPDATE_HTTPS_OTHER_PORT"); }
std::string UpdateSite::HttpBase() { return std::format("http://127.0.0.1:{}", HttpPort()); }
std::wstring UpdateSite::RootPath() { return UnixToWine(Env("TAVRO_UPDATE_SITE_ROOT")); }

std::wstring UpdateSite::FilePath(const std::string& name) {
  std::wstring path = RootPath() + L"\\" + Utf8ToWide(name);
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::string UpdateSite::MakeFolder(const std::string& name) {
  std::wstring path = RootPath();
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    path += L"\\" + Utf8ToWide(name.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    CreateDirectoryW(path.c_str(), nullptr);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return name;
}

bool UpdateSite::WriteFile(const std::string& name, const std::string& bytes) {
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) MakeFolder(name.substr(0, slash));
  return WriteFileBytes(FilePath(name), bytes);
}

std::string UpdateSite::KeyFile(const std::string& name) {
  std::string text = ReadFileBytes(UnixToWine(Env("TAVRO_TEST_KEYS") + "/" + name));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string UpdateSite::Tool(const std::string& pathAndQuery) {
  auto stream = ConnectTcp("127.0.0.1", HttpPort());
  if (!stream) return {};
  const std::string request =
      std::format("GET {} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", pathAndQuery);
  if (!stream->Write(request.data(), request.size())) return {};
  stream->SetReadTimeout(30000);
  std::string reply;
  char c = 0;
  while (stream->ReadExact(&c, 1)) reply += c;
  const size_t end = reply.find("\r\n\r\n");
  if (!reply.starts_with("HTTP/1.1 200") && !reply.starts_with("HTTP/1.0 200")) return {};
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

int UpdateSite::Count(const std::string& path) { return std::atoi(Tool("/_count?path=" + path).c_str()); }

std::string UpdateSite::Sign(const std::string& name, const std::string& key) {
  return Tool("/_sign?file=" + name + "&key=" + key);
}

bool UpdateSite::SignProgram(const std::string& in, const std::string& out, const std::string& signer) {
  return !Tool("/_signexe?in=" + in + "&out=" + out + "&signer=" + signer).empty();
}

std::string Sha256Hex(const std::string& bytes) {
  const Digest32 digest = Sha256(ByteRange(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  return HexEncode(digest);
}

std::string ManifestText(const std::string& base, const std::string& channel, const std::string& version,
                         const std::string& file, const std::string& bytes, const std::string& extra) {
  return std::format(
      R"({{"app":"tavro","platform":"windows","channel":"{}","version":"{}","url":"{}/files/{}","size":{},"sha256":"{}"{}}})",
      channel, version, base, file, bytes.size(), Sha256Hex(bytes), extra);
}

}  // namespace kelm::test
