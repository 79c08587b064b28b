// Loading by absolute path: which paths are taken at all, what each failure
// reports, and the file held for shared reading exactly while it is verified.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "secureload/load_context.h"
#include "secureload/verified_load.h"
#include "tests/support/process_state.h"
#include "tests/unit/verify_signer_double.h"

namespace {

const std::wstring kLibrary = L"C:\\Program Files\\Launcher\\StpRuntimeSdk.dll";
// The held file's own name, as the loader and the signature check are given it.
const std::wstring kHeld = L"\\\\?\\" + kLibrary;
const std::vector<uint8_t> kSigner{0x42};

// Signed by kSigner, whose certificate the signature carries.
void SignAsTestSigner(const std::wstring& path) {
  sim::CertDesc signer;
  signer.subject = "Test Signer";
  signer.issuer = "Test CA";
  signer.serial = kSigner;
  sim::SignFile(path, sim::SignatureDesc{{sim::AddCertificate(signer)},
                                         sim::SignerDesc{"Test CA", kSigner, {}, {}}});
}

int Marker() { return 7; }

// A path of exactly `length` characters ending in `file`, in few folders: each
// is held and read, so their names are long (the simulated volume sets no
// limit on a name's length).
std::wstring PathOfLength(size_t length, const std::wstring& file = L"\\StpRuntimeSdk.dll") {
  std::wstring path = L"C:";
  while (length - file.size() - path.size() > 2002) path += L"\\" + std::wstring(2000, L'd');
  return path + L"\\" + std::wstring(length - file.size() - path.size() - 1, L'd') + file;
}

// The largest buffer, terminator included, a final path is read into, and
// what the final path (\\?\C:\...) needs over the path's length: its prefix
// and the terminator.
constexpr size_t kLongestFinalPathSize = 32776;
constexpr size_t kFinalPathSizeOverPath = 5;

// The held path's steps, as the observer hears them.
void RecordHeldPath(void* context, const ObservedEvent& event) {
  if (event.step == kObservedHeldPath) {
    static_cast<std::vector<std::wstring>*>(context)->push_back(event.path);
  }
}

// What was mapped apart from the trust libraries of the system directory.
std::vector<std::wstring> MappedLibraries() {
  std::vector<std::wstring> paths;
  for (const std::wstring& path : sim::MappedPaths()) {
    if (path.rfind(L"C:\\Windows\\system32\\", 0) != 0) paths.push_back(path);
  }
  return paths;
}

class VerifiedLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    g_signerDouble = SignerDouble{};
  }

  // A library at `path` whose signature the signer policy accepts.
  static void InstallSigned(const std::wstring& path) {
    sim::AddLibrary(path, {sim::MakeExport("Marker", &Marker)});
    SignAsTestSigner(path);
    g_signerDouble.accepted = {kSigner};
  }
};

const std::wstring kLongPath =
    L"C:\\" + std::wstring(150, L'a') + L"\\" + std::wstring(150, L'b') + L"\\StpRuntimeSdk.dll";
// Its final path needs the largest buffer the load reads.
const std::wstring kLongestPath = PathOfLength(kLongestFinalPathSize - kFinalPathSizeOverPath);

TEST_F(VerifiedLoadTest, OnlyAbsolutePathsAreTaken) {
  struct Case {
    const wchar_t* path;
    bool absolute;
  };
  const Case cases[] = {
      {L"StpRuntimeSdk.dll", false},
      {L"", false},
      {L"C:StpRuntimeSdk.dll", false},  // drive-relative
      {L"Launcher\\StpRuntimeSdk.dll", false},
      {L".\\StpRuntimeSdk.dll", false},
      {L"1:\\StpRuntimeSdk.dll", false},
      {L"\u00E9:\\StpRuntimeSdk.dll", false},  // a letter, but not an ASCII one
      {L"C", false},
      {L"C:", false},
      {L"ab\\x.dll", false},  // a letter and a separator, but no colon between
      {L"a1\\x.dll", false},  // a folder of a letter and a digit, which sorts below the colon
      // Either side of each end of the two letter ranges.
      {L"@:\\x.dll", false},
      {L"[:\\x.dll", false},
      {L"`:\\x.dll", false},
      {L"{:\\x.dll", false},
      {L"A:\\x.dll", true},
      {L"Z:\\x.dll", true},
      {L"a:\\x.dll", true},
      {L"z:\\x.dll", true},
      {L"C:\\lib\\StpRuntimeSdk.dll", true},
      {L"c:/lib/StpRuntimeSdk.dll", true},
      {L"\\\\server\\share\\StpRuntimeSdk.dll", true},  // UNC
      // Held through \\?\UNC\server\share\games: the share itself is no directory to hold.
      {L"\\\\server\\share\\games\\StpRuntimeSdk.dll", true},
      // Server and share names of capitals, digits, dots and hyphens, which sort
      // below the separator.
      {L"\\\\FILES-01.CORP\\Games\\StpRuntimeSdk.dll", true},
      {L"\\lib\\StpRuntimeSdk.dll", true},              // root-relative
      {L"/lib/StpRuntimeSdk.dll", true},
      // Longer than the classic limit: the held file's final path needs a
      // second, larger buffer.
      {kLongPath.c_str(), true},
      // The held file's final path needs the largest buffer the load reads.
      {kLongestPath.c_str(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::Narrow(c.path));
    SetUp();
    // A library of that name where the search order would look first: the
    // refused shapes must never reach it.
    InstallSigned(L"C:\\Program Files\\Launcher\\StpRuntimeSdk.dll");
    if (c.absolute) InstallSigned(c.path);

    HMODULE module = LoadVerifiedLibrary(c.path, kPolicyNamedChains);

    if (c.absolute) {
      EXPECT_NE(module, nullptr);
      EXPECT_EQ(MappedLibraries(), std::vector<std::wstring>{c.path});
      EXPECT_TRUE(sim::AllReleased(1));
    } else {
      EXPECT_EQ(module, nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
      EXPECT_TRUE(sim::Trace().empty());  // the file is never touched
      EXPECT_TRUE(sim::AllReleased());
    }
  }
}

TEST_F(VerifiedLoadTest, NullPathIsABadArgument) {
  EXPECT_EQ(LoadVerifiedLibrary(nullptr, kPolicyPinnedChain), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
}

TEST_F(VerifiedLoadTest, EachFailureHasItsLastError) {
  struct Case {
    const char* label;
    std::function<void()> arrange;
    DWORD error;
    bool opened;  // the file was held while it was verified
  };
  const std::vector<Case> cases = {
      {"no such file", [] {}, ERROR_MOD_NOT_FOUND, false},
      {"directory named like a library", [] { sim::AddDirectory(kLibrary); }, ERROR_MOD_NOT_FOUND,
       false},
      {"device", [] { sim::AddDevice(kLibrary); }, ERROR_MOD_NOT_FOUND, false},
      {"another process is writing it",
       [] {
         InstallSigned(kLibrary);
         sim::HoldOpenElsewhere(kLibrary, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
       },
       ERROR_SHARING_VIOLATION, false},
      // The platform says "access denied"-like things too; the caller learns 32.
      {"another process shares no reading",
       [] {
         InstallSigned(kLibrary);
         sim::HoldOpenElsewhere(kLibrary, GENERIC_READ, 0);
       },
       ERROR_SHARING_VIOLATION, false},
      {"the open fails for another reason",
       [] {
         InstallSigned(kLibrary);
         sim::FailFileOpen(kLibrary, ERROR_ACCESS_DENIED);
       },
       ERROR_SHARING_VIOLATION, false},
      {"its size cannot be read",
       [] {
         InstallSigned(kLibrary);
         sim::FailFileSize(ERROR_ACCESS_DENIED);
       },
       ERROR_FILE_TOO_LARGE, true},
      // The second allocation: the first held the file's path. The allocation's
      // own reason is the one told.
      {"no memory for the folder handles",
       [] {
         InstallSigned(kLibrary);
         sim::FailLocalAllocation(2);
       },
       ERROR_NOT_ENOUGH_MEMORY, true},
      {"no embedded signature", [] { sim::AddLibrary(kLibrary, {}); },
       static_cast<DWORD>(CRYPT_E_NO_MATCH), true},
      // Not too large: an empty file is refused as unsigned.
      {"empty file", [] { sim::AddFile(kLibrary, {}); }, static_cast<DWORD>(CRYPT_E_NO_MATCH),
       true},
      {"signer refused",
       [] {
         InstallSigned(kLibrary);
         g_signerDouble.accepted.clear();
       },
       static_cast<DWORD>(CRYPT_E_NO_MATCH), true},
      {"trust library missing",
       [] {
         InstallSigned(kLibrary);
         sim::FailSystemModule("crypt32.dll", ERROR_MOD_NOT_FOUND);
       },
       static_cast<DWORD>(CRYPT_E_NO_MATCH), true},
      {"loader refuses the accepted file",
       [] {
         InstallSigned(kLibrary);
         sim::FailLibraryLoad(kLibrary, ERROR_BAD_EXE_FORMAT);
       },
       ERROR_BAD_EXE_FORMAT, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    c.arrange();

    HMODULE module = LoadVerifiedLibrary(kLibrary.c_str(), kPolicyPinnedChain);

    EXPECT_EQ(module, nullptr);
    // Closing the file clears the last error in this world, so these also show
    // that the value set before the close is the one restored after it.
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sim::CountTrace("CloseHandle " + sim::Narrow(kLibrary)), c.opened ? 1u : 0u);
    EXPECT_TRUE(MappedLibraries().empty());
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(VerifiedLoadTest, EachAllocationThatFailsRefusesTheLoad) {
  struct Case {
    std::wstring library;
    unsigned allocations;
  };
  const Case cases[] = {
      // The held file's path, the folder handles, each of the two folders'
      // paths, the file's path again and the signature check's.
      {kLibrary, 6},
      // In the volume's root: no folders to hold.
      {L"C:\\StpRuntimeSdk.dll", 3},
      // Each path longer than the first buffer takes a second one.
      {kLongPath, 9},
  };
  for (const Case& c : cases) {
    // Counting until one succeeds: every allocation made refuses when it fails.
    for (unsigned nth = 1;; ++nth) {
      SCOPED_TRACE(sim::Narrow(c.library) + " allocation " + std::to_string(nth));
      SetUp();
      InstallSigned(c.library);
      sim::FailLocalAllocation(nth);
      HMODULE module = LoadVerifiedLibrary(c.library.c_str(), kPolicyPinnedChain);
      if (module != nullptr) {
        EXPECT_EQ(nth, c.allocations + 1);  // the first allocation not made
        FreeLibrary(module);
        break;
      }
      EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
      EXPECT_TRUE(sim::AllReleased());
    }
  }
}

TEST_F(VerifiedLoadTest, FileIsHeldForSharedReadingExactlyWhileVerified) {
  struct Case {
    std::wstring library;
    std::wstring folder;  // the library's own folder
    bool accepted;
  };
  const Case cases[] = {
      {kLibrary, L"C:\\Program Files\\Launcher", true},
      {kLibrary, L"C:\\Program Files\\Launcher", false},
      // One folder deep: that one folder is held too.
      {L"C:\\Launcher\\StpRuntimeSdk.dll", L"C:\\Launcher", true},
  };
  for (const Case& c : cases) {
    const bool accepted = c.accepted;
    const std::wstring& library = c.library;
    SCOPED_TRACE(sim::Narrow(library) + (accepted ? " accepted" : " refused"));
    SetUp();
    InstallSigned(library);
    if (!accepted) g_signerDouble.accepted.clear();
    std::vector<sim::OpenFile> folder;
    sim::WhenTraced("CryptQueryObject",
                    [&folder, &c] { folder = sim::OpenFilesOf(c.folder); });
    std::vector<std::wstring> heldPaths;
    const VerifyObserver observer{&RecordHeldPath, &heldPaths};

    HMODULE module = LoadVerifiedLibrary(library.c_str(), kPolicyNamedChains, &observer);

    EXPECT_EQ(module != nullptr, accepted);
    EXPECT_EQ(heldPaths, std::vector<std::wstring>{L"\\\\?\\" + library});
    ASSERT_EQ(g_signerDouble.calls.size(), 1u);
    const SignerCall& call = g_signerDouble.calls[0];
    EXPECT_EQ(call.path, L"\\\\?\\" + library);
    EXPECT_EQ(call.policy, kPolicyNamedChains);
    ASSERT_EQ(call.openFiles.size(), 1u);
    EXPECT_EQ(call.openFiles[0].access, GENERIC_READ);
    EXPECT_EQ(call.openFiles[0].shareMode, static_cast<DWORD>(FILE_SHARE_READ));
    EXPECT_TRUE(sim::OpenFilesOf(library).empty());
    // Its folder is held as well, against renaming and deletion only: reading
    // and writing in it go on for everyone else.
    ASSERT_EQ(folder.size(), 1u);
    EXPECT_EQ(folder[0].shareMode, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));

    // Opened before the signature is read; closed only after the mapping.
    const std::vector<std::string>& trace = sim::Trace();
    auto at = [&](const std::string& prefix) -> size_t {
      return static_cast<size_t>(
          std::find_if(trace.begin(), trace.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }) -
          trace.begin());
    };
    const size_t open = at("CreateFileW");
    const size_t query = at("CryptQueryObject");
    const size_t load = at("LoadLibraryExW \\\\?\\" + sim::Narrow(library));
    const size_t close = at("CloseHandle " + sim::Narrow(library));
    EXPECT_LT(open, query);
    EXPECT_LT(query, close);
    // The trust provider's image helper is resident from System32 before any
    // trust call can load it by bare name.
    EXPECT_LT(at("LoadLibraryExW imagehlp.dll 0x800"), query);
    EXPECT_LT(close, trace.size());
    if (accepted) {
      EXPECT_LT(load, close);
    }
    EXPECT_TRUE(sim::AllReleased(accepted ? 1 : 0));
  }
}

// The size comes from the held handle; past the cap nothing reads the file.
TEST_F(VerifiedLoadTest, NothingLargerThanARuntimeLibraryIsRead) {
  for (uint32_t extra : {0u, 1u}) {
    SCOPED_TRACE(extra == 0 ? "exactly the cap" : "one byte more");
    SetUp();
    // 64 MiB, stated: moving the cap fails here.
    sim::AddFile(kLibrary, std::vector<uint8_t>(size_t{64} * 1024 * 1024 + extra, 0));
    InstallSigned(kLibrary);

    HMODULE module = LoadVerifiedLibrary(kLibrary.c_str(), kPolicyPinnedChain);

    EXPECT_EQ(module != nullptr, extra == 0);
    EXPECT_EQ(sim::CountTrace("CryptQueryObject"), extra == 0 ? 1u : 0u);
    if (module != nullptr) {
      EXPECT_TRUE(FreeLibrary(module));
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    }
    EXPECT_TRUE(sim::AllReleased());
  }
}

TEST_F(VerifiedLoadTest, AcceptedLibraryIsTheLoadersModule) {
  InstallSigned(kLibrary);

  HMODULE module = LoadVerifiedLibrary(kLibrary.c_str(), kPolicyPinnedChain);

  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  // Its dependencies from beside the executable and from System32 only.
  EXPECT_EQ(sim::CountTrace("LoadLibraryExW " + sim::Narrow(kHeld) + " 0xa00"), 1u);
  auto marker = ProcAs<int (*)()>(GetProcAddress(module, "Marker"));
  ASSERT_NE(marker, nullptr);
  EXPECT_EQ(marker(), 7);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(sim::AllReleased());

  // A loader without search flags: the process's own search (the standard
  // order without the working directory) serves.
  SetUp();
  InstallSigned(kLibrary);
  sim::SetSystemBuild(7601);
  sim::HideSystemExport("kernel32.dll", "AddDllDirectory");
  module = LoadVerifiedLibrary(kLibrary.c_str(), kPolicyPinnedChain);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(sim::CountTrace("LoadLibraryExW " + sim::Narrow(kHeld) + " 0x0"), 1u);
  EXPECT_TRUE(FreeLibrary(module));
}

// The cloud folder is a junction its owner can point elsewhere at any moment;
// the verified copy lies behind it, a copy of the attacker's elsewhere. Each
// row strikes when the trace shows a step (what an opportunistic lock tells).
const std::wstring kLink = L"C:\\ProgramData\\KORVEX Corporation";
// A Z on the way: the mapped name's case folding is tried at both ends of the letters.
const std::wstring kReal = L"C:\\Stp\\Zone";
const std::wstring kFolder = kReal + L"\\Stratoplay";
const std::wstring kLinked = kLink + L"\\Stratoplay\\STP32.dll";
const std::wstring kVerified = kFolder + L"\\STP32.dll";
const std::wstring kOther = L"C:\\Stp\\Other";
int Planted() { return 666; }

// A library of the attacker's at `path` that the signer policy accepts as well:
// it is not held, so its bytes can change after they were checked.
void Plant(const std::wstring& path) {
  sim::AddLibrary(path, {sim::MakeExport("Marker", &Planted)});
  SignAsTestSigner(path);
}

// The library's folder renamed, a character longer each time, as each of the
// first `times` final paths is read, and back as the next one is: each read
// finds the name longer than the buffer the read before it sized.
void GrowFolderName(int times, size_t grown = 0) {
  const size_t next = times == 0 ? 0 : grown == 0 ? 230 : grown + 1;
  sim::WhenTraced("GetFinalPathNameByHandleW", [times, grown, next] {
    sim::MoveDirectory(kFolder + std::wstring(grown, L'x'), kFolder + std::wstring(next, L'x'));
    if (times > 0) GrowFolderName(times - 1, next);
  });
}

TEST_F(VerifiedLoadTest, TheHeldFileOrNothingIsMapped) {
  struct Case {
    const char* label;
    const char* when;  // trace prefix the attack waits for; empty: before the call
    std::function<void()> attack;
    bool mapped;
    // The loader maps what it maps, not only the verified name (a
    // redirection), or what it mapped cannot be judged: refused, it was mapped
    // and released at once. Any other refusal maps nothing at all.
    bool redirected = false;
  };
  auto retarget = [] {
    Plant(kOther + L"\\Stratoplay\\STP32.dll");
    sim::AddJunction(kLink, kOther);
  };
  // Move the real folder away and put one of the attacker's in its place.
  auto replaceFolder = [] {
    if (sim::MoveDirectory(kFolder, kReal + L"\\Gone")) Plant(kVerified);
  };
  // The same, the real folder's new name sorting after its old one.
  auto replaceFolderLater = [] {
    if (sim::MoveDirectory(kFolder, kReal + L"\\Zz")) Plant(kVerified);
  };
  // The real folder moved aside for a junction just as it is held, so that the
  // hold lands elsewhere; put back once that directory's own path was read and
  // before the held file's path is read again; then, unheld, replaced.
  auto holdElsewhere = [replaceFolder] {
    const std::wstring aside = kReal + L"\\Aside";
    if (!sim::MoveDirectory(kFolder, aside)) return;
    sim::AddDirectory(kOther);
    sim::AddJunction(kFolder, kOther);
    sim::WhenTraced("GetFinalPathNameByHandleW", [aside, replaceFolder] {
      sim::WhenTraced("GetFinalPathNameByHandleW", [aside, replaceFolder] {
        sim::RemoveFile(kFolder);
        if (sim::MoveDirectory(aside, kFolder)) sim::WhenTraced("CryptQueryObject", replaceFolder);
      });
    });
  };
  const std::vector<Case> cases = {
      {"a link to the real folder keeps working", "", [] {}, true},
      {"junction retargeted once the file is held", "GetFinalPathNameByHandleW", retarget, true},
      {"junction retargeted while the signature is read", "CryptQueryObject", retarget, true},
      {"junction retargeted just before the load", "LoadLibraryExW", retarget, true},
      // Between reading the held file's path and holding its directories: the
      // path now names another file, which nothing holds.
      {"folder replaced before it is held", "CreateFileW \\\\?\\", replaceFolder, false},
      {"folder replaced before it is held, renamed to sort after", "CreateFileW \\\\?\\",
       replaceFolderLater, false},
      // The folder's own path is not the one it was opened by: not held.
      {"folder held through a junction", "CreateFileW \\\\?\\C:\\Stp\\Zone\\Stratoplay ",
       holdElsewhere, false},
      // Once held, the folder cannot be moved: the attack fails.
      {"folder replaced while the signature is read", "CryptQueryObject", replaceFolder, true},
      {"folder replaced just before the load", "LoadLibraryExW", replaceFolder, true},
      {"the held file's path cannot be read", "",
       [] { sim::FailFinalPath(ERROR_ACCESS_DENIED); }, false},
      // A read that fails refuses; a later read answers for another moment.
      {"the held file's path cannot be read the first time", "",
       [] {
         sim::FailFinalPath(ERROR_ACCESS_DENIED);
         sim::WhenTraced("GetFinalPathNameByHandleW", [] {
           sim::WhenTraced("GetFinalPathNameByHandleW", [] { sim::FailFinalPath(0); });
         });
       },
       false},
      // Read again into the size each read asked for: four reads settle it.
      {"the held file's name outgrows three reads", "", [] { GrowFolderName(3); }, true},
      {"the held file's name outgrows four reads", "", [] { GrowFolderName(4); }, false},
      // Each failure on the way is a refusal, never a pass: a folder that
      // cannot be held, and the file's path unreadable the second time (after
      // the file's and its three folders' reads).
      {"a folder cannot be held", "", [] { sim::FailFileOpen(kReal, ERROR_ACCESS_DENIED); }, false},
      {"the held file's path cannot be read again", "",
       [] {
         for (int i = 0; i < 4; ++i) sim::WhenTraced("GetFinalPathNameByHandleW", [] {});
         sim::WhenTraced("GetFinalPathNameByHandleW", [] { sim::FailFinalPath(ERROR_ACCESS_DENIED); });
       },
       false},
      // A redirection makes the loader map another file for the verified name.
      {"the loader maps another file", "",
       [] {
         Plant(kOther + L"\\STP32.dll");
         sim::RedirectLibrary(kVerified, kOther + L"\\STP32.dll");
       },
       false, true},
      // The mapped image is judged by the file behind it, never by a name:
      // the same file under another name is the verified one; a copy with the
      // same bytes is not.
      {"the loader maps the held file by another name", "",
       [] {
         sim::AddHardLink(kOther + L"\\STP32.dll", kVerified);
         sim::RedirectLibrary(kVerified, kOther + L"\\STP32.dll");
       },
       true, true},
      {"the loader maps a byte-identical copy", "",
       [] {
         sim::AddLibrary(kOther + L"\\STP32.dll", {sim::MakeExport("Marker", &Marker)});
         sim::RedirectLibrary(kVerified, kOther + L"\\STP32.dll");
       },
       false, true},
      // Whatever cannot be established is no match.
      {"the same-file call is missing", "",
       [] { sim::HideSystemExport("ntdll.dll", "NtAreMappedFilesTheSame"); }, false, true},
      {"the held file cannot be mapped", "", [] { sim::FailFileMapping(ERROR_ACCESS_DENIED); },
       false, true},
      // No view: refused even by a call that would answer "the same".
      {"no view of the held file", "",
       [] {
         sim::FailMapView(ERROR_NOT_ENOUGH_MEMORY);
         sim::AnswerMappedFilesTheSame(0);
       },
       false, true},
      // The held file's final path needs one character more than the largest
      // buffer read.
      {"a link to a folder whose final path is too long", "",
       [] {
         const std::wstring below = L"\\Stratoplay\\STP32.dll";
         const std::wstring library =
             PathOfLength(kLongestFinalPathSize + 1 - kFinalPathSizeOverPath, below);
         Plant(library);
         sim::AddJunction(kLink, library.substr(0, library.size() - below.size()));
       },
       false},
      // Only 0 is success: neither an informational status nor an error.
      {"the same-file call answers a positive status", "",
       [] { sim::AnswerMappedFilesTheSame(0x103 /* STATUS_PENDING */); }, false, true},
      {"the same-file call answers an error", "",
       [] { sim::AnswerMappedFilesTheSame(static_cast<LONG>(0xC0000141)); }, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    InstallSigned(kVerified);
    sim::AddJunction(kLink, kReal);
    if (*c.when == '\0') {
      c.attack();
    } else {
      sim::WhenTraced(c.when, c.attack);
    }

    HMODULE module = LoadVerifiedLibrary(kLinked.c_str(), kPolicyPinnedChain);

    EXPECT_EQ(module != nullptr, c.mapped);
    // Nothing of the attacker's was ever mapped, not even for a moment (unless
    // the loader itself was told to; then it is unmapped before anyone calls it).
    if (!c.redirected) {
      for (const std::wstring& path : MappedLibraries()) EXPECT_EQ(path, kVerified);
      if (!c.mapped) {
        EXPECT_TRUE(MappedLibraries().empty());
      }
    }
    if (module != nullptr) {
      EXPECT_EQ(ProcAs<int (*)()>(GetProcAddress(module, "Marker"))(), 7);
      EXPECT_TRUE(FreeLibrary(module));
      // Signature and load both named the real file, never the junction.
      EXPECT_EQ(g_signerDouble.calls.at(0).path, L"\\\\?\\" + kVerified);
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
      // Refused before the loader was asked for anything.
      if (!c.redirected) {
        EXPECT_EQ(sim::CountTrace("LoadLibraryExW \\\\?\\"), 0u);
      }
    }
    EXPECT_TRUE(sim::AllReleased());
  }
}

// Only the two final-path forms whose root is known are taken: \\?\X:\ and
// \\?\UNC\server\share\. Any other form is refused before anything is opened
// or read by it, since where its volume's root ends, and so which folders to
// hold, is not known.
TEST_F(VerifiedLoadTest, OnlyKnownFinalPathFormsAreTaken) {
  struct Case {
    const wchar_t* answer;  // the held file's final path; null: it cannot be read
    const wchar_t* library;
    bool mapped;
    size_t opened;  // the file and the folders held
  };
  const wchar_t* const kShare = L"\\\\FILES-01\\Games\\Launcher\\StpRuntimeSdk.dll";
  const Case cases[] = {
      {L"\\\\?\\C:\\Program Files\\Launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), true, 3},
      // Server and share of capitals, digits and a hyphen, which sort below the separator.
      {L"\\\\?\\UNC\\FILES-01\\Games\\Launcher\\StpRuntimeSdk.dll", kShare, true, 2},
      {L"\\\\.\\C:\\Program Files\\Launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), false, 1},
      {L"\\??\\C:\\Program Files\\Launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), false, 1},
      {L"\\\\?\\Volume{5b0e8c1e-9d42-11d0-a4f2-806d6172696f}\\Program Files\\Launcher\\"
       L"StpRuntimeSdk.dll",
       kLibrary.c_str(), false, 1},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\Program Files\\Launcher\\StpRuntimeSdk.dll",
       kLibrary.c_str(), false, 1},
      // The drive's colon and separator, and nothing either side of them: an
      // administrative share's name, the C| of old file URLs, a drive-relative
      // name, and slashes, which under \\?\ are part of a name.
      {L"\\\\?\\C$\\Program Files\\Launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), false, 1},
      {L"\\\\?\\C|\\Program Files\\Launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), false, 1},
      {L"\\\\?\\C:program files\\launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), false, 1},
      {L"\\\\?\\C:/Program Files/Launcher/StpRuntimeSdk.dll", kLibrary.c_str(), false, 1},
      // A UNC path without its server, without its share, and with nothing below the share.
      {L"\\\\?\\UNC\\\\Games\\Launcher\\StpRuntimeSdk.dll", kShare, false, 1},
      {L"\\\\?\\UNC\\FILES-01", kShare, false, 1},
      {L"\\\\?\\UNC\\FILES-01\\Games", kShare, false, 1},
      // A folder spelt otherwise than its own final path spells it is not held.
      {L"\\\\?\\C:\\PROGRAM FILES\\Launcher\\StpRuntimeSdk.dll", kLibrary.c_str(), false, 2},
      {nullptr, kLibrary.c_str(), false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer != nullptr ? sim::Narrow(c.answer) : "unreadable");
    SetUp();
    InstallSigned(c.library);
    if (c.answer != nullptr) {
      sim::AnswerFinalPath(c.library, c.answer);
    } else {
      sim::FailFinalPath(ERROR_ACCESS_DENIED);
    }
    std::vector<std::wstring> heldPaths;
    const VerifyObserver observer{&RecordHeldPath, &heldPaths};

    HMODULE module = LoadVerifiedLibrary(c.library, kPolicyNamedChains, &observer);

    EXPECT_EQ(module != nullptr, c.mapped);
    // What is told is what was read, refused or not; nothing when nothing was.
    EXPECT_EQ(heldPaths, c.answer != nullptr ? std::vector<std::wstring>{c.answer}
                                             : std::vector<std::wstring>{});
    EXPECT_EQ(sim::CountTrace("CreateFileW"), c.opened);
    if (module != nullptr) {
      EXPECT_TRUE(FreeLibrary(module));
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
      EXPECT_EQ(sim::CountTrace("CryptQueryObject"), 0u);
      EXPECT_TRUE(MappedLibraries().empty());
    }
    EXPECT_TRUE(sim::AllReleased());
  }
}

}  // namespace
