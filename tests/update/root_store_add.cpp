// Adds a certificate (PEM or DER file) to the prefix's "Root" stores, replacing an
// existing copy: the update tests' https site is trusted through it.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: root_store_add CERTIFICATE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty()) {
    std::fwprintf(stderr, L"root_store_add: can't read %ls\n", argv[1]);
    return 1;
  }
  std::vector<BYTE> der(text.begin(), text.end());
  DWORD size = 0;
  if (CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                           nullptr, nullptr)) {
    der.resize(size);
    CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                         nullptr, nullptr);
    der.resize(size);
  }
  // The LocalMachine "Root" store as on Windows, and the current user's registry "Root"
  // store: Wine's LocalMachine "Root" is rebuilt from the host's certificates in every
  // process (an add to it is lost), while its chain engine also reads the user's key.
  HKEY userKey = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\Root", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &userKey, nullptr) != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"root_store_add: opening the Root key failed\n");
    return 1;
  }
  HCERTSTORE stores[] = {
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"),
      CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, userKey),
  };
  RegCloseKey(userKey);
  for (HCERTSTORE store : stores) {
    if (store == nullptr) {
      std::fwprintf(stderr, L"root_store_add: opening the Root store failed (%lu)\n", GetLastError());
      return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                        static_cast<DWORD>(der.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
      std::fwprintf(stderr, L"root_store_add: adding the certificate failed (%lu)\n", error);
      return 1;
    }
  }
  std::wprintf(L"root_store_add: added %ls\n", argv[1]);
  return 0;
}
