#pragma once
// The ICE session description text both peers exchange through the relay's signalling:
// "a=ice-ufrag:", "a=ice-pwd:", "a=candidate:" (RFC 8839 form), "a=end-of-candidates" and
// "a=ice-options:ice2" lines; any other line is ignored. Portable.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::connect {

// Remote candidates beyond this many are ignored.
inline constexpr size_t kMaxRemoteCandidates = 32;

struct IceCandidate {
  std::string foundation;
  uint32_t component = 1;
  std::string transport = "UDP";
  uint32_t priority = 0;
  std::string address;  // numeric IPv4 or IPv6 literal
  uint16_t port = 0;
  std::string type;     // "host", "srflx", "prflx" or "relay"
  std::string relatedAddress;
  uint16_t relatedPort = 0;

  // "candidate:..." without the "a=" prefix and line end.
  std::string Attribute() const;
};

struct IceDescription {
  std::string ufrag;
  std::string pwd;
  std::vector<IceCandidate> candidates;
  bool endOfCandidates = false;
  bool ice2 = false;
};

// One candidate attribute ("a=candidate:..." or "candidate:..."); nothing when malformed,
// not UDP, not component 1, or when the address is not a numeric IP literal (names are
// never looked up).
std::optional<IceCandidate> ParseCandidateAttribute(std::string_view line);

// A description with both ufrag and pwd (well formed), or nothing. Unusable candidate
// lines are skipped; at most kMaxRemoteCandidates are kept.
std::optional<IceDescription> ParseIceDescription(std::string_view text);

// Lines end in "\r\n".
std::string WriteIceDescription(const IceDescription& description);

// The type and "address port" of a candidate line (fields split at white space: the type
// follows "typ", the address is the fifth and sixth fields; empty when missing).
struct CandidateTypeAddress {
  std::string type;
  std::string address;
};
CandidateTypeAddress ParseCandidate(std::string_view line);

// The description without its "a=candidate:" lines that contain " typ relay".
std::string StripRelayCandidates(std::string_view description);

}  // namespace tavro::connect
