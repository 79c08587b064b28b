// selftest.exe: the self-test kit's runner, for a Windows test machine (run as
// administrator). Beside it in the kit: scenarios.txt (the end-to-end table,
// one scenario per line), app/ (the test-pinned and release probes and their
// companions), fixtures/ (the signed fake runtime libraries), bin/ (the helper
// DLL and the fixture inspector), plant/ (marker DLLs) and certs/ (the kit's
// roots, CAs and CRLs, in root/, ca/ and crl/).
//
//   selftest.exe [--only NAME,NAME...]
//   selftest.exe --undo        only take away what a killed run left
//
// It refuses to run on a machine that holds a cloud folder of its own (a real
// cloud machine) or without administrator rights. Everything it adds to the
// machine (certificates, CRLs, folders) is written to selftest.journal before
// it is added and taken away again at the end, whatever happened; a run that
// was killed is cleaned up by the next one before anything else. It prints one
// line per scenario, a summary and the platform's facts, writes selftest.xml
// (JUnit) and selftest-facts.txt beside itself, and exits 0 exactly when every
// judged scenario passed.
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "probe_caller.h"

namespace {

using std::string;
using std::vector;
using std::wstring;

// A probe ends by its own watchdog after 30 s; the kit waits longer than that.
constexpr DWORD kProbeTimeoutMs = 60000;
constexpr DWORD kToolTimeoutMs = 120000;

wstring g_kit;      // the kit's folder, ending in a backslash
wstring g_journal;  // g_kit + selftest.journal
volatile LONG g_interrupted = 0;

wstring Widen(const string& text) {
  wstring wide(text.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                              static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}

string Narrow(const wstring& text) {
  string narrow(text.size() * 3 + 1, '\0');
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                              static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return narrow;
}

bool ReadAll(const wstring& path, string& bytes) {
  bytes.clear();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got != 0) bytes.append(buffer, got);
  CloseHandle(file);
  return true;
}

bool Exists(const wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

vector<string> Split(const string& text, char separator) {
  vector<string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == string::npos ? string::npos : end - start));
    if (end == string::npos) return parts;
    start = end + 1;
  }
}

string StripCr(const string& text) {
  string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// --- the journal ------------------------------------------------------------
// One line per thing added, written (and flushed) before it is added:
//   tree <path>           a folder (or link) the kit made; removed with all in it
//   cert <store> <sha1>   a certificate added to a machine store
//   crl <store> <sha1>    a CRL added to a machine store

bool JournalAdd(const string& line) {
  HANDLE file = CreateFileW(g_journal.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  string text = line + "\n";
  DWORD wrote = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
            wrote == text.size() && FlushFileBuffers(file);
  CloseHandle(file);
  return ok;
}

// Removes a folder and everything in it; a link (junction or symbolic link) is
// removed itself, never followed.
bool RemoveTree(const wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != 0;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        wstring name = found.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
  }
  return RemoveDirectoryW(path.c_str()) != 0;
}

// Machine stores through the registry provider: Wine keeps deletions made
// through it (not those made through the system provider), Windows keeps both.
HCERTSTORE OpenMachineStore(const wstring& name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, name.c_str());
}

bool HexToBytes(const string& hex, BYTE (&bytes)[20]) {
  if (hex.size() != 40) return false;
  for (int i = 0; i < 20; ++i) {
    unsigned value = 0;
    if (std::sscanf(hex.c_str() + 2 * i, "%2x", &value) != 1) return false;
    bytes[i] = static_cast<BYTE>(value);
  }
  return true;
}

string BytesToHex(const BYTE* bytes, DWORD size) {
  string hex;
  char two[3];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    hex += two;
  }
  return hex;
}

bool RemoveFromStore(const string& kind, const string& store, const string& hex) {
  BYTE hash[20];
  if (!HexToBytes(hex, hash)) return false;
  HCERTSTORE handle = OpenMachineStore(Widen(store));
  if (handle == nullptr) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool ok = true;
  if (kind == "cert") {
    CRYPT_HASH_BLOB blob = {20, hash};
    PCCERT_CONTEXT cert = CertFindCertificateInStore(handle, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                                     &blob, nullptr);
    if (cert != nullptr) ok = CertDeleteCertificateFromStore(cert) != 0;
  } else {
    PCCRL_CONTEXT crl = nullptr;
    while ((crl = CertEnumCRLsInStore(handle, crl)) != nullptr) {
      BYTE have[20];
      DWORD size = sizeof have;
      if (CertGetCRLContextProperty(crl, CERT_SHA1_HASH_PROP_ID, have, &size) && size == 20 &&
          memcmp(have, hash, 20) == 0) {
        ok = CertDeleteCRLFromStore(CertDuplicateCRLContext(crl)) != 0;
        CertFreeCRLContext(crl);
        break;
      }
    }
  }
  // Wine keeps changes to a system store only once it is closed.
  CertCloseStore(handle, 0);
  if (kind == "crl") {
    // Wine reads a store's CRLs back one per issuer, so a CRL of a CA that
    // shares its name with another may not be found above; the registry
    // provider keeps each under its SHA-1, where it is taken away directly.
    wstring key = L"SOFTWARE\\Microsoft\\SystemCertificates\\" + Widen(store) + L"\\CRLs\\" + Widen(hex);
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    ok = result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
  }
  return ok;
}

// Takes away everything the journal lists, the last thing added first; the
// journal goes when all of it is gone. Returns false when something stayed.
bool UndoJournal() {
  string text;
  if (!ReadAll(g_journal, text)) return true;
  vector<string> lines = Split(StripCr(text), '\n');
  bool all = true;
  for (size_t i = lines.size(); i-- > 0;) {
    const string& line = lines[i];
    if (line.empty()) continue;
    vector<string> fields = Split(line, ' ');
    bool ok = false;
    if (fields[0] == "tree" && line.size() > 5) {
      ok = RemoveTree(Widen(line.substr(5)));
    } else if ((fields[0] == "cert" || fields[0] == "crl") && fields.size() == 3) {
      ok = RemoveFromStore(fields[0], fields[1], fields[2]);
    }
    if (!ok) {
      std::printf("selftest: could not undo \"%s\" (error %lu)\n", line.c_str(), GetLastError());
      all = false;
    }
  }
  if (all) DeleteFileW(g_journal.c_str());
  return all;
}

// --- certificates -------------------------------------------------------------

bool ToDer(string& bytes) {
  if (!bytes.empty() && static_cast<unsigned char>(bytes[0]) == 0x30) return true;
  DWORD size = 0;
  if (!CryptStringToBinaryA(bytes.data(), static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr))
    return false;
  string der(size, '\0');
  if (!CryptStringToBinaryA(bytes.data(), static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER,
                            reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr))
    return false;
  der.resize(size);
  bytes.swap(der);
  return true;
}

// Adds one certificate (or CRL) file to a machine store, journalled first.
bool AddToStore(const wstring& file, const wstring& store, bool crl) {
  string der;
  if (!ReadAll(file, der) || !ToDer(der)) return false;
  BYTE hash[20];
  DWORD size = sizeof hash;
  if (!CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(der.data()),
                            static_cast<DWORD>(der.size()), hash, &size))
    return false;
  if (!JournalAdd(string(crl ? "crl " : "cert ") + Narrow(store) + " " + BytesToHex(hash, size)))
    return false;
  HCERTSTORE handle = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, store.c_str());
  if (handle == nullptr) return false;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(der.data());
  // Several of the kit's CAs share a name (the look-alikes and forgeries of
  // the pinned zone CA); a CRL "replacing" another of the same issuer would
  // leave the genuine CA without one, so every CRL is added as it is.
  BOOL ok = crl ? CertAddEncodedCRLToStore(handle, X509_ASN_ENCODING, bytes, static_cast<DWORD>(der.size()),
                                           CERT_STORE_ADD_ALWAYS, nullptr)
                : CertAddEncodedCertificateToStore(handle, X509_ASN_ENCODING, bytes,
                                                   static_cast<DWORD>(der.size()),
                                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  // Wine keeps additions only once the store is closed.
  CertCloseStore(handle, 0);
  return ok != 0;
}

vector<wstring> FilesIn(const wstring& folder) {
  vector<wstring> files;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return files;
}

bool InstallCertificates() {
  struct Kind {
    const wchar_t* folder;
    const wchar_t* store;
    bool crl;
  } kinds[] = {{L"root", L"Root", false}, {L"ca", L"CA", false}, {L"crl", L"CA", true}};
  for (const Kind& kind : kinds) {
    wstring folder = g_kit + L"certs\\" + kind.folder;
    for (const wstring& name : FilesIn(folder)) {
      if (!AddToStore(folder + L"\\" + name, kind.store, kind.crl)) {
        std::printf("selftest: could not add %s to the machine's %s store (error %lu)\n",
                    Narrow(name).c_str(), Narrow(kind.store).c_str(), GetLastError());
        return false;
      }
    }
  }
  return true;
}

// --- processes ------------------------------------------------------------------

// Runs a kit tool with its standard output in a pipe of its own; gives up
// (and ends it) after timeoutMs.
bool RunCapture(const wstring& exe, const wstring& args, const wstring& cwd, string& out, DWORD timeoutMs) {
  out.clear();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return false;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = nul;
  start.hStdOutput = write;
  start.hStdError = nul;
  PROCESS_INFORMATION process = {};
  wstring command = L"\"" + exe + L"\" " + args;
  BOOL started = CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                cwd.c_str(), &start, &process);
  CloseHandle(write);
  CloseHandle(nul);
  if (!started) {
    CloseHandle(read);
    return false;
  }
  DWORD begun = GetTickCount();
  bool ended = false;
  for (;;) {
    DWORD available = 0;
    char buffer[4096];
    DWORD got = 0;
    while (PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr) && available != 0 &&
           ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got != 0)
      out.append(buffer, got);
    if (ended) break;
    if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
      ended = true;
    } else if (GetTickCount() - begun > timeoutMs) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, 5000);
      break;
    }
  }
  CloseHandle(read);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended;
}

// --- scenarios --------------------------------------------------------------------

struct Scenario {
  string name;
  vector<std::pair<string, string>> fields;
  string Get(const string& key, const string& fallback = "") const {
    for (const auto& field : fields)
      if (field.first == key) return field.second;
    return fallback;
  }
};

struct Outcome {
  string name;
  enum { kPassed, kFailed, kSeen, kSkipped } kind;
  string text;  // failed checks, what was seen, or why skipped
};

wstring g_cloudRoot;  // <common application data>\KORVEX Corporation
wstring g_cloudReal;  // <common application data>\KORVEX Real
wstring g_work;       // <temp>\stp-selftest
bool g_wine = false;

bool Place(const string& what, const wstring& dest, string& failure) {
  wstring folder = dest.substr(0, dest.find_last_of(L'\\'));
  SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  bool ok = true;
  if (what == "-") return true;
  if (what == "dir") {
    ok = CreateDirectoryW(dest.c_str(), nullptr) != 0;
  } else if (what == "empty" || what == "garbage") {
    HANDLE file = CreateFileW(dest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    ok = file != INVALID_HANDLE_VALUE;
    if (ok && what == "garbage") {
      string bytes(3000, 'G');
      DWORD wrote = 0;
      ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) != 0;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  } else {
    ok = CopyFileW((g_kit + L"fixtures\\" + Widen(what)).c_str(), dest.c_str(), FALSE) != 0;
  }
  if (!ok) failure = "could not place " + what + " (error " + std::to_string(GetLastError()) + ")";
  return ok;
}

// The fake libraries are told what to answer through the environment, which
// the probe inherits from this process.
void SetScenarioEnvironment(const string& assignments, bool set) {
  for (const string& assignment : Split(assignments, ' ')) {
    size_t equals = assignment.find('=');
    if (equals == string::npos) continue;
    wstring name = Widen(assignment.substr(0, equals));
    SetEnvironmentVariableW(name.c_str(), set ? Widen(assignment.substr(equals + 1)).c_str() : nullptr);
  }
}

bool HasLine(const string& text, const string& line) {
  for (const string& have : Split(StripCr(text), '\n'))
    if (have == line) return true;
  return false;
}

Outcome RunScenario(const Scenario& s) {
  Outcome outcome{s.name, Outcome::kPassed, ""};
  string windows = s.Get("windows", "run");
  if (windows == "skip") return {s.name, Outcome::kSkipped, s.Get("reason")};
  bool judge = windows == "run" || g_wine;

  wstring root = g_work + L"\\" + Widen(s.name);
  wstring app = root + L"\\app", cwd = root + L"\\cwd";
  string failure;
  vector<string> failed;
  auto check = [&failed](bool ok, const string& what) {
    if (!ok) failed.push_back(what);
  };
  RemoveTree(g_cloudRoot);
  RemoveTree(g_cloudReal);
  SHCreateDirectoryExW(nullptr, app.c_str(), nullptr);
  SHCreateDirectoryExW(nullptr, cwd.c_str(), nullptr);
  wstring exeFolder = g_kit + (s.Get("exe", "test") == "release" ? L"app\\release\\" : L"app\\test-pinned\\");
  bool placed = CopyFileW((exeFolder + L"platform_probe.exe").c_str(), (app + L"\\platform_probe.exe").c_str(),
                          FALSE) &&
                CopyFileW((exeFolder + L"platform_probe_diag.exe").c_str(),
                          (app + L"\\platform_probe_diag.exe").c_str(), FALSE);
  if (!placed) failure = "could not copy the probe (error " + std::to_string(GetLastError()) + ")";
  if (placed && s.Get("cloudlink") == "yes") {
    // The cloud folder is a link to a real folder beside it.
    placed = Place(s.Get("cloud", "-"), g_cloudReal + L"\\Stratoplay\\STP32.dll", failure);
    // A platform that makes no link (Wine 8's CreateSymbolicLinkW reports
    // success and makes nothing) cannot show this scenario.
    DWORD made = placed && CreateSymbolicLinkW(g_cloudRoot.c_str(), L"KORVEX Real", SYMBOLIC_LINK_FLAG_DIRECTORY)
                     ? GetFileAttributesW(g_cloudRoot.c_str())
                     : INVALID_FILE_ATTRIBUTES;
    if (placed && (made == INVALID_FILE_ATTRIBUTES || !(made & FILE_ATTRIBUTE_REPARSE_POINT))) {
      string error = std::to_string(GetLastError());
      RemoveTree(g_cloudRoot);
      RemoveTree(g_cloudReal);
      RemoveTree(root);
      return {s.name, Outcome::kSkipped, "this platform made no folder link (error " + error + ")"};
    }
  } else if (placed) {
    placed = Place(s.Get("cloud", "-"), g_cloudRoot + L"\\Stratoplay\\STP32.dll", failure);
  }
  placed = placed && Place(s.Get("client", "-"), app + L"\\StpRuntimeSdk.dll", failure);
  string helper = s.Get("helper");
  if (placed && !helper.empty())
    placed = CopyFileW((g_kit + L"bin\\stphelper.dll").c_str(),
                       ((helper == "cwd" ? cwd : app) + L"\\stphelper.dll").c_str(), FALSE) != 0;
  if (placed && s.Get("plant") == "yes") {
    for (const wstring& name : FilesIn(g_kit + L"plant")) {
      placed = placed && CopyFileW((g_kit + L"plant\\" + name).c_str(), (app + L"\\" + name).c_str(), FALSE) &&
               CopyFileW((g_kit + L"plant\\" + name).c_str(), (cwd + L"\\" + name).c_str(), FALSE);
    }
  }
  if (!placed) {
    RemoveTree(g_cloudRoot);
    RemoveTree(g_cloudReal);
    return {s.name, judge ? Outcome::kFailed : Outcome::kSeen, failure.empty() ? "could not place files" : failure};
  }

  string env = s.Get("env");
  SetScenarioEnvironment(env, true);
  wstring log = app + L"\\calls.log";
  SetEnvironmentVariableW(L"STP_FAKE_LOG", log.c_str());
  SetCurrentDirectoryW(cwd.c_str());
  platform_probe::CloudPlatformAnswer answer =
      platform_probe::QueryCloudPlatform((app + L"\\platform_probe.exe").c_str(), kProbeTimeoutMs);
  string diag;
  bool diagRan = false;
  if (s.Get("deadline") != "yes") {
    SetEnvironmentVariableW(L"STP_FAKE_LOG", nullptr);
    diagRan = RunCapture(app + L"\\platform_probe_diag.exe", L"", cwd, diag, kProbeTimeoutMs);
  }
  SetCurrentDirectoryW(g_kit.c_str());
  SetEnvironmentVariableW(L"STP_FAKE_LOG", nullptr);
  SetScenarioEnvironment(env, false);

  string got = answer.platform == platform_probe::CloudPlatform::kInCloud      ? "STP"
               : answer.platform == platform_probe::CloudPlatform::kNotInCloud ? "{}"
                                                                               : "failed";
  string seen = "answer " + got;
  if (got == "failed") seen += string(" (") + answer.reason + ", " + std::to_string(answer.detail) + ")";
  check(got == s.Get("stdout", "{}"), seen + ", expected " + s.Get("stdout", "{}") + " and exit code 0");

  string calls;
  ReadAll(log, calls);
  calls = StripCr(calls);
  while (!calls.empty() && calls.back() == '\n') calls.pop_back();
  for (char& c : calls)
    if (c == '\n') c = '|';
  seen += "; calls " + calls;
  check(calls == s.Get("calls"), "calls " + calls + ", expected " + s.Get("calls"));

  if (s.Get("deadline") != "yes") {
    check(diagRan, "the companion did not end in time");
    for (const string& line : Split(s.Get("diag"), '|'))
      if (!line.empty()) check(HasLine(diag, line), "companion lacks: " + line);
    for (const string& line : Split(s.Get("nodiag"), '|'))
      if (!line.empty()) check(!HasLine(diag, line), "companion says: " + line);
  }
  if (s.Get("plant") == "yes") {
    for (const wstring& folder : {app, cwd})
      for (const wstring& name : FilesIn(folder))
        if (name.size() > 7 && name.compare(name.size() - 7, 7, L".loaded") == 0)
          check(false, "planted " + Narrow(name.substr(0, name.size() - 7)) + " was mapped");
  }
  RemoveTree(g_cloudRoot);
  RemoveTree(g_cloudReal);
  RemoveTree(root);

  if (!judge) return {s.name, Outcome::kSeen, seen};
  if (!failed.empty()) {
    outcome.kind = Outcome::kFailed;
    for (const string& f : failed) outcome.text += (outcome.text.empty() ? "" : "; ") + f;
  }
  return outcome;
}

bool LoadScenarios(vector<Scenario>& scenarios) {
  string text;
  if (!ReadAll(g_kit + L"scenarios.txt", text)) return false;
  for (const string& line : Split(StripCr(text), '\n')) {
    if (line.empty() || line[0] == '#') continue;
    vector<string> fields = Split(line, '\t');
    Scenario s;
    s.name = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) {
      size_t equals = fields[i].find('=');
      if (equals != string::npos) s.fields.push_back({fields[i].substr(0, equals), fields[i].substr(equals + 1)});
    }
    scenarios.push_back(s);
  }
  return !scenarios.empty();
}

// --- the report -------------------------------------------------------------------

string XmlEscape(const string& text) {
  string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void WriteJUnit(const vector<Outcome>& outcomes, int failures, int skipped) {
  string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"platform_probe.selftest\" tests=\"" +
               std::to_string(outcomes.size()) + "\" failures=\"" + std::to_string(failures) +
               "\" skipped=\"" + std::to_string(skipped) + "\">\n";
  for (const Outcome& o : outcomes) {
    xml += "  <testcase classname=\"selftest\" name=\"" + XmlEscape(o.name) + "\">";
    if (o.kind == Outcome::kFailed) xml += "<failure message=\"" + XmlEscape(o.text) + "\"/>";
    if (o.kind == Outcome::kSkipped) xml += "<skipped message=\"" + XmlEscape(o.text) + "\"/>";
    if (o.kind == Outcome::kSeen) xml += "<system-out>" + XmlEscape(o.text) + "</system-out>";
    xml += "</testcase>\n";
  }
  xml += "</testsuite>\n";
  HANDLE file = CreateFileW((g_kit + L"selftest.xml").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD wrote = 0;
  WriteFile(file, xml.data(), static_cast<DWORD>(xml.size()), &wrote, nullptr);
  CloseHandle(file);
}

// What this platform is and says: its version, its loader, and, for every
// signed fixture, the trust verdict and chain status it gives (the fixture
// inspector's lines, all of them in selftest-facts.txt).
void PrintFacts() {
  std::printf("facts:\n");
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  typedef LONG(WINAPI * GetVersionFn)(OSVERSIONINFOW*);
  auto getVersion = reinterpret_cast<GetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (getVersion != nullptr && getVersion(&version) == 0)
    std::printf("  windows: %lu.%lu build %lu\n", version.dwMajorVersion, version.dwMinorVersion,
                version.dwBuildNumber);
  typedef const char*(CDECL * WineVersionFn)();
  auto wineVersion = reinterpret_cast<WineVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  std::printf("  wine: %s\n", wineVersion != nullptr ? wineVersion() : "no");
  std::printf("  loader search flags (kernel32 AddDllDirectory): %s\n",
              GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr ? "yes" : "no");
  wchar_t path[1024];
  HANDLE self = CreateFileW((g_kit + L"selftest.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (self != INVALID_HANDLE_VALUE) {
    DWORD n = GetFinalPathNameByHandleW(self, path, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n > 0 && n < 1024) std::printf("  final path form: %s\n", Narrow(path).c_str());
    CloseHandle(self);
  }
  DWORD n = GetModuleFileNameW(nullptr, path, 1024);
  if (n > 0 && n < 1024) std::printf("  mapped image name form: %s\n", Narrow(path).c_str());

  wstring args;
  for (const wstring& name : FilesIn(g_kit + L"fixtures"))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, L".dll") == 0) args += L"\"" + name + L"\" ";
  string facts;
  RunCapture(g_kit + L"bin\\e2e_sigcheck.exe", args, g_kit + L"fixtures", facts, kToolTimeoutMs);
  HANDLE file = CreateFileW((g_kit + L"selftest-facts.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD wrote = 0;
    WriteFile(file, facts.data(), static_cast<DWORD>(facts.size()), &wrote, nullptr);
    CloseHandle(file);
  }
  for (const string& line : Split(StripCr(facts), '\n'))
    if (line.rfind("file: ", 0) == 0 || line.rfind("trust: ", 0) == 0 || line.rfind("chain: ", 0) == 0)
      std::printf("  %s\n", line.c_str());
}

BOOL WINAPI OnControl(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  return TRUE;
}

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &admins))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
  FreeSid(admins);
  return member != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 2;
  g_kit.assign(self, n);
  g_kit.resize(g_kit.find_last_of(L'\\') + 1);
  g_journal = g_kit + L"selftest.journal";
  string only;
  if (argc == 3 && wstring(argv[1]) == L"--only") only = "," + Narrow(argv[2]) + ",";

  if (!IsAdministrator()) {
    std::printf("selftest: refused: run it as administrator (it adds the kit's roots to the machine's stores)\n");
    return 2;
  }
  wchar_t folder[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return 2;
  g_cloudRoot = wstring(folder) + L"\\KORVEX Corporation";
  g_cloudReal = wstring(folder) + L"\\KORVEX Real";
  wchar_t temp[MAX_PATH];
  n = GetTempPathW(MAX_PATH, temp);
  if (n == 0 || n >= MAX_PATH) return 2;
  g_work = wstring(temp) + L"stp-selftest";
  g_wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;

  // What an earlier run that was killed left behind goes first; only then can
  // a cloud folder that remains be the machine's own.
  if (!UndoJournal()) {
    std::printf("selftest: refused: an earlier run's additions could not all be taken away (see above)\n");
    return 2;
  }
  if (argc == 2 && wstring(argv[1]) == L"--undo") {
    std::printf("selftest: nothing of an earlier run is left\n");
    return 0;
  }
  if (Exists(g_cloudRoot) || Exists(g_cloudReal)) {
    std::printf("selftest: refused: %s exists: this looks like a cloud machine; the kit would change it\n",
                Narrow(Exists(g_cloudRoot) ? g_cloudRoot : g_cloudReal).c_str());
    return 2;
  }
  vector<Scenario> scenarios;
  if (!LoadScenarios(scenarios)) {
    std::printf("selftest: refused: no scenarios.txt beside selftest.exe\n");
    return 2;
  }
  SetConsoleCtrlHandler(OnControl, TRUE);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);

  bool ready = JournalAdd("tree " + Narrow(g_cloudRoot)) && JournalAdd("tree " + Narrow(g_cloudReal)) &&
               JournalAdd("tree " + Narrow(g_work)) && InstallCertificates();
  vector<Outcome> outcomes;
  int passed = 0, failures = 0, seen = 0, skipped = 0;
  if (ready) {
    for (const Scenario& s : scenarios) {
      if (!only.empty() && only.find("," + s.name + ",") == string::npos) continue;
      if (g_interrupted) break;
      Outcome o = RunScenario(s);
      const char* word = o.kind == Outcome::kPassed   ? "ok  "
                         : o.kind == Outcome::kFailed ? "FAIL"
                         : o.kind == Outcome::kSeen   ? "seen"
                                                      : "skip";
      std::printf("%s %s%s%s\n", word, o.name.c_str(), o.text.empty() ? "" : ": ", o.text.c_str());
      passed += o.kind == Outcome::kPassed;
      failures += o.kind == Outcome::kFailed;
      seen += o.kind == Outcome::kSeen;
      skipped += o.kind == Outcome::kSkipped;
      outcomes.push_back(o);
    }
    PrintFacts();
  } else {
    std::printf("selftest: FAIL: the test machine could not be set up\n");
  }
  bool undone = UndoJournal();
  if (!undone) std::printf("selftest: FAIL: not everything the kit added could be taken away\n");
  if (g_interrupted) std::printf("selftest: interrupted; what it added was taken away\n");
  WriteJUnit(outcomes, failures, skipped);
  std::printf("selftest: %d passed, %d failed, %d seen (not judged), %d skipped%s\n", passed, failures, seen,
              skipped, g_wine ? " (under Wine)" : "");
  return ready && undone && !g_interrupted && failures == 0 && passed + seen > 0 ? 0 : 1;
}
