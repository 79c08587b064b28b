// Test-machine set-up: adds certificates to the local machine's system stores.
//
//   e2e_install_certs.exe [Root|CA|UserRoot] FILE... [Root|CA|UserRoot] FILE...
//
// Each FILE (DER or PEM) goes into the store named last before it ("Root" when
// none was named yet). Root: the platform trust provider trusts chains that end
// in it. CA: intermediate certificates that the machine's chain engine finds
// when it builds a chain. UserRoot: the current user's own root store, which a
// standard user may add to. Exit status 0 when every certificate was added (or
// was already there).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

bool ReadFileBytes(const wchar_t* path, std::vector<BYTE>& bytes) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(file, nullptr);
  bytes.resize(size);
  DWORD got = 0;
  bool ok = size != INVALID_FILE_SIZE && ReadFile(file, bytes.data(), size, &got, nullptr) &&
            got == size;
  CloseHandle(file);
  return ok;
}

// PEM text becomes DER; DER is left as it is.
bool ToDer(std::vector<BYTE>& bytes) {
  if (bytes.empty() || bytes[0] == 0x30) return !bytes.empty();
  DWORD size = 0;
  if (!CryptStringToBinaryA(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr))
    return false;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                            der.data(), &size, nullptr, nullptr))
    return false;
  der.resize(size);
  bytes.swap(der);
  return true;
}

HCERTSTORE OpenMachineStore(const wchar_t* name) {
  const bool user = lstrcmpW(name, L"UserRoot") == 0;
  HCERTSTORE store = CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      user ? CERT_SYSTEM_STORE_CURRENT_USER : CERT_SYSTEM_STORE_LOCAL_MACHINE,
      user ? L"Root" : name);
  if (!store) std::printf("cannot open the %ls store: 0x%08lx\n", name, GetLastError());
  return store;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* storeName = L"Root";
  HCERTSTORE store = OpenMachineStore(storeName);
  if (!store) return 1;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    if (lstrcmpW(argv[i], L"Root") == 0 || lstrcmpW(argv[i], L"CA") == 0 ||
        lstrcmpW(argv[i], L"UserRoot") == 0) {
      CertCloseStore(store, 0);
      storeName = argv[i];
      store = OpenMachineStore(storeName);
      if (!store) return 1;
      continue;
    }
    std::vector<BYTE> bytes;
    if (!ReadFileBytes(argv[i], bytes) || !ToDer(bytes)) {
      std::printf("%ls: cannot read a certificate\n", argv[i]);
      ++failures;
      continue;
    }
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, bytes.data(),
                                          static_cast<DWORD>(bytes.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      std::printf("%ls: not added: 0x%08lx\n", argv[i], GetLastError());
      ++failures;
      continue;
    }
    std::printf("%ls: added to %ls\n", argv[i], storeName);
  }
  CertCloseStore(store, 0);
  return failures == 0 ? 0 : 1;
}
