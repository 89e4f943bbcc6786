// Update figures against an in-process loopback HTTP server: the manifest check and the
// installer download beside plain WinHTTP, the download's peak memory, and the
// Authenticode check of a 100 MB installer beside hashing it.
#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>
#include <winhttp.h>
#include <winsock2.h>

#include <atomic>
#include <format>
#include <map>
#include <string>
#include <thread>

#include "bench.h"
#include "bench_timing.h"
#include "connect/base64url.h"
#include "core/cng_handles.h"
#include "core/crypto.h"
#include "core/paths.h"
#include "core/win_handle.h"
#include "support/temp_dir.h"
#include "update/fetch_manifest.h"
#include "update/hash_open_file.h"
#include "update/http_get.h"
#include "update/manifest_signature.h"
#include "update/installer_download.h"
#include "update/signer.h"

namespace kelm::bench {
namespace {

// Serves fixed bodies over HTTP/1.1 with a Content-Length, one connection at a time.
class LoopbackSite {
 public:
  explicit LoopbackSite(std::map<std::string, const std::string*> bodies) : bodies_(std::move(bodies)) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackSite() {
    stop_ = true;
    closesocket(listener_);
    thread_.join();
    WSACleanup();
  }
  std::string Base() const { return std::format("http://127.0.0.1:{}", port_); }

 private:
  void Serve() {
    while (!stop_) {
      const SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, got);
      }
      const size_t start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      const auto it = bodies_.find(path);
      const std::string* body = it != bodies_.end() ? it->second : nullptr;
      const std::string head = body ? std::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\nConnection: close\r\n\r\n", body->size())
                                    : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      send(client, head.data(), static_cast<int>(head.size()), 0);
      for (size_t sent = 0; body && sent < body->size();) {
        const int n = send(client, body->data() + sent, static_cast<int>(std::min<size_t>(body->size() - sent, 1 << 20)), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      shutdown(client, SD_SEND);
      closesocket(client);
    }
  }

  std::map<std::string, const std::string*> bodies_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A fresh P-256 key signs the bench manifest: the base64url public key and the signature.
bool SignManifest(const std::string& manifest, std::string& key, std::string& signature) {
  BCRYPT_KEY_HANDLE pair = nullptr;
  if (!BCRYPT_SUCCESS(BCryptGenerateKeyPair(cng::EcdsaP256Alg(), &pair, 256, 0)) ||
      !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(pair, 0))) {
    return false;
  }
  CngKey owner(pair);
  uint8_t blob[72 + 32];
  ULONG size = 0;
  if (!BCRYPT_SUCCESS(BCryptExportKey(pair, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &size, 0))) return false;
  P256PublicKey point{};
  if (!P256FromEccPublicBlob(std::span(blob, size), point)) return false;
  key = Base64UrlEncode(point);
  const std::string signed_ = "tavro-update/1\n" + manifest;
  const Digest32 digest = Sha256(ByteRange(reinterpret_cast<const uint8_t*>(signed_.data()), signed_.size()));
  uint8_t rs[64];
  if (!BCRYPT_SUCCESS(BCryptSignHash(pair, nullptr, const_cast<uint8_t*>(digest.data()), 32, rs, 64, &size, 0))) {
    return false;
  }
  signature = Base64UrlEncode(std::span(rs, 64));
  return true;
}

std::string Filler(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; i += 4096) out[i] = static_cast<char>(i >> 12);
  return out;
}

update::Manifest InstallerManifest(const std::string& url, const std::string& body) {
  update::Manifest manifest;
  manifest.url = url;
  manifest.size = body.size();
  manifest.sha256 = Sha256(ByteRange(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  return manifest;
}

// One plain WinHTTP GET into a buffer of the announced size; the bytes read. Same access
// type as the updater's GET (automatic proxy), so the figures differ by our own work only.
uint64_t RawGet(const std::wstring& host, INTERNET_PORT port, const std::wstring& path, std::string& buffer) {
  HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr, 0);
  HINTERNET connection = WinHttpConnect(session, host.c_str(), port, 0);
  HINTERNET request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, nullptr, nullptr, 0);
  uint64_t total = 0;
  if (WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr)) {
    DWORD read = 0;
    while (WinHttpReadData(request, buffer.data() + total, static_cast<DWORD>(std::min<uint64_t>(buffer.size() - total, 1 << 20)), &read) &&
           read > 0) {
      total += read;
      if (total == buffer.size()) break;
    }
  }
  WinHttpCloseHandle(request);
  WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  return total;
}

uint16_t PortOf(const std::string& base) { return static_cast<uint16_t>(std::stoi(base.substr(base.rfind(':') + 1))); }

void ManifestCheck(BenchOut& out) {
  std::string manifest, signature, key;
  // The bodies are filled in once the port is known (the manifest names the site).
  LoopbackSite served({{"/stable/windows/latest.json", &manifest}, {"/stable/windows/latest.json.sig", &signature}});
  manifest = R"({"app":"tavro","platform":"windows","channel":"stable","version":"1.2.0","url":")" + served.Base() +
             R"(/files/tavro-Setup-1.2.0.exe","size":1000,"sha256":")" + std::string(64, 'a') + R"("})";
  if (!SignManifest(manifest, key, signature)) return out.Fail("signing the bench manifest failed");
  UpdaterConfig config;
  config.site = served.Base();
  config.publicKey = key;
  config.siteOverridden = true;
  std::vector<double> ours, raw;
  std::string buffer(16384, '\0');
  for (int i = 0; i < 20; ++i) {
    Stopwatch watch;
    std::string error;
    if (!update::FetchManifest(config, "stable", error)) return out.Fail("manifest check failed: " + error);
    ours.push_back(watch.Seconds() * 1000);
    Stopwatch rawWatch;
    RawGet(L"127.0.0.1", PortOf(served.Base()), L"/stable/windows/latest.json", buffer);
    RawGet(L"127.0.0.1", PortOf(served.Base()), L"/stable/windows/latest.json.sig", buffer);
    raw.push_back(rawWatch.Seconds() * 1000);
  }
  std::vector<double> verify;
  for (int i = 0; i < 20; ++i) {
    Stopwatch watch;
    update::VerifyManifestSignature(manifest, signature, key);
    verify.push_back(watch.Seconds() * 1000);
  }
  out.Note(std::format("update.manifest_check: the signature check alone {:.3f} ms", Quantile(verify, 0.5)));
  out.Figure("update.manifest_check", Quantile(ours, 0.5), "ms");
  out.Figure("update.manifest_check.raw", Quantile(raw, 0.5), "ms");
}

void Download100(BenchOut& out) {
  const std::string body = Filler(100000000);
  LoopbackSite site({{"/files/i.exe", &body}});
  UpdaterConfig config;
  config.siteOverridden = true;
  test::TempDir dir;
  const auto manifest = InstallerManifest(site.Base() + "/files/i.exe", body);
  std::string error;
  Stopwatch watch;
  if (!update::DownloadInstaller(config, manifest, dir.File(L"i.exe"), error, {}, nullptr)) {
    return out.Fail("download failed: " + error);
  }
  out.Figure("update.download_100mb", MegabytesPerSecond(body.size(), watch.Seconds()), "MB/s");
  update::HttpGetOptions options;
  options.maxBytes = body.size();
  options.allowLocalHttp = true;
  Stopwatch getWatch;
  const auto fetched = update::HttpGet(manifest.url, options, error);
  const double getSeconds = getWatch.Seconds();
  out.Note(std::format("update.download_100mb: the GET alone {:.1f} MB/s", MegabytesPerSecond(fetched ? fetched->size() : 0, getSeconds)));
  if (fetched) {
    // Where the rest goes: hashing after the last byte (the order before hashing overlapped
    // the receive) and the one write of the checked body.
    Stopwatch hashWatch;
    Sha256(ByteRange(reinterpret_cast<const uint8_t*>(fetched->data()), fetched->size()));
    const double hashSeconds = hashWatch.Seconds();
    Stopwatch writeWatch;
    test::WriteFileBytes(dir.File(L"w.exe"), *fetched);
    out.Note(std::format("update.download_100mb: a hash after the GET {:.0f} ms (GET then hash {:.1f} MB/s), the write {:.0f} ms",
                         hashSeconds * 1000, MegabytesPerSecond(fetched->size(), getSeconds + hashSeconds),
                         writeWatch.Seconds() * 1000));
  }
  std::string buffer(body.size(), '\0');
  Stopwatch rawWatch;
  const uint64_t got = RawGet(L"127.0.0.1", PortOf(site.Base()), L"/files/i.exe", buffer);
  if (got != body.size()) return out.Fail("raw download was short");
  out.Figure("update.download_100mb.raw", MegabytesPerSecond(got, rawWatch.Seconds()), "MB/s");
}

uint64_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  // Wine leaves PrivateUsage flat; the working set shows the touched buffer.
  return std::max<uint64_t>({counters.PrivateUsage, counters.PagefileUsage, counters.WorkingSetSize});
}

void DownloadPeak(BenchOut& out) {
  const std::string body = Filler(200000000);
  LoopbackSite site({{"/files/i.exe", &body}});
  UpdaterConfig config;
  config.siteOverridden = true;
  test::TempDir dir;
  const auto manifest = InstallerManifest(site.Base() + "/files/i.exe", body);
  const uint64_t baseline = PrivateBytes();
  std::atomic<bool> done{false};
  std::atomic<uint64_t> peak{baseline};
  std::thread sampler([&] {
    while (!done) {
      peak = std::max(peak.load(), PrivateBytes());
      Sleep(5);
    }
  });
  std::string error;
  const bool ok = update::DownloadInstaller(config, manifest, dir.File(L"i.exe"), error, {}, nullptr);
  done = true;
  sampler.join();
  if (!ok) return out.Fail("download failed: " + error);
  out.Figure("update.download_200mb.peak_private", static_cast<double>(peak - baseline) / 1e6, "MB");
}

void SameSigner(BenchOut& out) {
  // A signed 100 MB program made at build time (osslsigncode, test signer).
  const std::wstring signedFile = ExecutableDir() + L"\\bench_signed_100mb.exe";
  WinHandle file(CreateFileW(signedFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return out.Note("update.check_same_signer_100mb: no signed 100 MB program beside tavro-bench");
  std::string error;
  Stopwatch watch;
  if (!update::CheckSameSigner(signedFile, signedFile, error)) return out.Fail("CheckSameSigner failed: " + error);
  out.Figure("update.check_same_signer_100mb", watch.Seconds() * 1000, "ms");
  std::array<uint8_t, 32> digest{};
  uint64_t size = 0;
  Stopwatch hashWatch;
  if (!update::HashOpenFile(file.Get(), digest, size)) return out.Fail("hashing failed");
  out.Figure("update.sha256_100mb", hashWatch.Seconds() * 1000, "ms");
}

}  // namespace

TAVRO_BENCH("update.manifest_check", ManifestCheck);
TAVRO_BENCH("update.download_100mb", Download100);
TAVRO_BENCH("update.download_200mb", DownloadPeak);
TAVRO_BENCH("update.check_same_signer_100mb", SameSigner);

}  // namespace kelm::bench
