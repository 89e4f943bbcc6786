// Native (Linux) timing helper for the QR figures, started by tavro-bench: our encoder
// and the reference library (libqrcodegencpp) on the same texts in alternating rounds.
// Speaks over the loopback connection given as "-control 127.0.0.1:PORT" and prints
// "QR_US <ours> <qrcodegen>": microseconds to encode the pairing link and the
// version-40 text once each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <qrcodegen/qrcodegen.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/qr_code.h"
#include "qr_bench_texts.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 10;
constexpr double kRoundSeconds = 0.2;

int ConnectControl(std::string_view address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string_view::npos) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(std::string(address.substr(colon + 1)))));
  if (inet_pton(AF_INET, std::string(address.substr(0, colon)).c_str(), &addr.sin_addr) != 1 ||
      ntohl(addr.sin_addr.s_addr) >> 24 != 127) {
    return -1;
  }
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Microseconds per call of `encode` over one round.
template <typename Encode>
double MicrosEach(Encode encode) {
  const auto start = Clock::now();
  long calls = 0;
  double seconds = 0;
  do {
    encode();
    ++calls;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } while (seconds < kRoundSeconds);
  return seconds * 1e6 / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::string_view(argv[1]) != "-control") {
    std::fprintf(stderr, "usage: qr_native_timing -control 127.0.0.1:PORT\n");
    return 2;
  }
  const int control = ConnectControl(argv[2]);
  if (control < 0) {
    std::fprintf(stderr, "control connection failed: %s\n", argv[2]);
    return 2;
  }
  using kelm::bench::kQrPairingLink;
  using kelm::bench::kQrVersion40Text;
  volatile int sink = 0;
  double ours = 1e300, reference = 1e300;  // the best round of each
  for (int round = 0; round < kRounds; ++round) {
    ours = std::min(ours, MicrosEach([&] {
                      sink = sink + kelm::QrCode::EncodeText(kQrPairingLink)->Size() +
                             kelm::QrCode::EncodeText(kQrVersion40Text)->Size();
                    }));
    reference = std::min(reference, MicrosEach([&] {
                           using qrcodegen::QrCode;
                           sink = sink + QrCode::encodeText(kQrPairingLink.c_str(), QrCode::Ecc::MEDIUM).getSize() +
                                  QrCode::encodeText(kQrVersion40Text.c_str(), QrCode::Ecc::MEDIUM).getSize();
                         }));
  }
  const std::string line = "QR_US " + std::to_string(ours) + " " + std::to_string(reference) + "\n";
  const bool sent = send(control, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size());
  // Waits for tavro-bench to close the connection, so it reads the line first.
  char byte;
  while (recv(control, &byte, 1, 0) > 0) {
  }
  close(control);
  return sent ? 0 : 1;
}
