// Adds paired devices to the store of one profile from a separate process, so a
// test can run several of them at once against the same "devices.json".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/pairing.h"
#include "core/paths.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: pairing_writer PROFILE_DIR FIRST_NUMBER COUNT\n", stderr);
    return 2;
  }
  kelm::SetProfileDir(argv[1]);
  const unsigned first = static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10));
  const unsigned count = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
  kelm::Pairing store;
  for (unsigned n = first; n < first + count; ++n) {
    kelm::DeviceKey key{};
    key[0] = 0x04;
    for (size_t i = 1; i < key.size(); ++i) key[i] = static_cast<uint8_t>(n * 7 + i);
    store.AddDevice(key, "writer device " + std::to_string(n));
  }
  std::puts("done");
  return 0;
}
