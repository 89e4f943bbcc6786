#pragma once
// The update tests' side of the local update site: its ports and root folder from the
// environment, files written into it, and its tools reached over plain Winsock (never
// through the code under test).
#include <cstdint>
#include <string>

namespace kelm::test {

struct UpdateSite {
  // False (and the test should skip) when the program was not started by the site driver.
  static bool Available();
  static uint16_t HttpPort();
  static uint16_t HttpsPort();
  static uint16_t HttpsOtherPort();
  // "http://127.0.0.1:PORT"
  static std::string HttpBase();
  // The root folder as a Windows path, and a file under it ('/'-separated name).
  static std::wstring RootPath();
  static std::wstring FilePath(const std::string& name);
  // A test's own folder under the root (created) as its site-relative name.
  static std::string MakeFolder(const std::string& name);
  static bool WriteFile(const std::string& name, const std::string& bytes);
  // The file of the test keys folder (e.g. "update.pub.txt") as text.
  static std::string KeyFile(const std::string& name);
  // A tool of the site ("/_count?path=...") over plain http; the body, or empty.
  static std::string Tool(const std::string& pathAndQuery);
  // GETs the site has seen for `path`.
  static int Count(const std::string& path);
  // Signs `name` with the key ("update" or "other-update") into name + ".sig".
  static std::string Sign(const std::string& name, const std::string& key = "update");
  // Signs program `in` into `out` with signer "signer" or "other-signer".
  static bool SignProgram(const std::string& in, const std::string& out, const std::string& signer);
};

// Hex of bytes, lower case.
std::string Sha256Hex(const std::string& bytes);
// A manifest text for the site base, with the installer `file` (site-relative) of `bytes`.
std::string ManifestText(const std::string& base, const std::string& channel, const std::string& version,
                         const std::string& file, const std::string& bytes, const std::string& extra = "");

}  // namespace kelm::test
