#pragma once
// The texts the QR figures encode, shared by tavro-bench and its native timing helper.
#include <string>

namespace kelm::bench {

inline const std::string kQrPairingLink =
    "tavro://connect?host=192.168.1.23&port=27183&pin=012345&name=DESK%20M%C3%BCller";
// 2331 bytes: the most a version-40 code holds at MEDIUM.
inline const std::string kQrVersion40Text(2331, 'q');

}  // namespace kelm::bench
