// The kernel part of the simulated Windows: the executable, files and their
// handles, modules and their exports, the system directory and the OS build,
// the last-error value, the heaps and code-page conversion.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_internal.h"

struct SimModule {
  std::wstring path;        // full path it was mapped by (the name the loader was given)
  uint64_t file = 0;        // the file actually mapped (its identity, FileEntry::id)
  std::string name;         // lower-case file name
  bool system = false;
  std::map<std::string, void*> exports;
  std::set<std::string> hidden;
  DWORD failError = 0;      // system modules: loading fails with this
  int refs = 0;
};

// kernel32's loader entry points that a program looks up at run time, because
// older systems lack them.
BOOL WINAPI SimSetDefaultDllDirectories(DWORD directoryFlags);
void* WINAPI SimAddDllDirectory(LPCWSTR newDirectory);
// ntdll's, looked up at run time.
LONG WINAPI SimNtAreMappedFilesTheSame(PVOID first, PVOID second);

namespace sim {
namespace {

enum class Kind { kFile, kDirectory, kDevice };

struct FileEntry {
  std::wstring path;
  uint64_t id = 0;  // the file behind the name: hard links share it
  Kind kind = Kind::kFile;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  std::vector<uint8_t> content;
  std::unique_ptr<SimModule> library;  // set when the file is a loadable library
  DWORD loadError = 0;
  std::wstring target;  // a junction: where lookups through it continue
  DWORD openError = 0;  // CreateFileW fails with this
  uint64_t sparseLength = 0;  // past the content: the file's length, zeros after the content
};

struct OpenRecord {
  std::wstring key;  // the entry opened, junctions resolved; follows renames
  std::wstring path;
  DWORD access;
  DWORD share;
};

struct TraceHook {
  std::string prefix;
  std::function<void()> action;
};

const HANDLE kStandardOutput = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7001));

// A handle to the real standard output (the launcher's pipe) or to NUL.
struct Stream {
  bool nul;
  bool inherit;
  bool readOnly = false;  // a write fails
};

// A thread made with CreateThread. It runs on an OS thread of its own, in
// lockstep with the thread that let it run: that one waits while it runs, and
// it parks in Sleep until RunThreads resumes it.
struct SimThread {
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  enum State { kNew, kRunning, kParked, kDone } state = kNew;
  std::mutex lock;
  std::condition_variable changed;
  std::thread os;
};
thread_local SimThread* t_currentThread = nullptr;

struct World {
  DWORD lastError = 0;
  bool clobberOnRelease = false;
  DWORD clobberValue = 0;
  std::wstring exePath;
  DWORD moduleFileNameError = 0;
  std::wstring appData;
  bool appDataFails = false;
  BOOL appDataAnswer = TRUE;
  std::map<std::wstring, FileEntry> files;
  std::wstring systemDir;
  DWORD build = 19045;
  DWORD sysDirSizeError = 0;
  DWORD sysDirFillError = 0;
  unsigned sysDirGrowth = 0;
  bool sysDirGrown = false;
  std::map<std::string, std::unique_ptr<SimModule>> systemModules;
  std::vector<OpenRecord> elsewhere;
  std::map<HANDLE, OpenRecord> handles;
  uintptr_t nextHandle = 0x1000;
  std::set<void*> localBlocks;
  std::set<void*> crtBlocks;
  unsigned crtFailCountdown = 0;
  unsigned localFailCountdown = 0;
  DWORD wideToUtf8Error = 0;
  DWORD utf8ToWideError = 0;
  unsigned wideToUtf8Passes = 0;  // conversions that still succeed before the failures
  unsigned utf8ToWidePasses = 0;
  Counters counters{};
  std::vector<std::string> trace;
  std::vector<std::wstring> mapped;
  std::vector<VersionQuery> versionQueries;
  std::map<std::wstring, std::wstring> redirects;  // by resolved key
  DWORD finalPathError = 0;
  std::map<std::wstring, std::wstring> finalPathAnswers;  // by resolved key
  std::vector<TraceHook> hooks;
  std::wstring workingDir;
  DWORD defaultDllDirectories = 0;  // 0: the standard search order
  bool workingDirSearched = true;   // SetDllDirectoryW(L"") takes it out
  UINT errorMode = 0;
  LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr;
  std::string standardOutput;
  DWORD outputRoom = 0xFFFFFFFF;  // bytes one WriteFile takes at most
  DWORD outputError = 0;          // WriteFile to the standard output fails with it
  long exitCode = -1;
  unsigned reads = 0;
  DWORD fileSizeError = 0;
  unsigned readAnswerCountdown = 0;
  sim::ReadAnswer readAnswer = sim::ReadAnswer::kFails;
  uint64_t nextFileId = 1;
  std::map<HANDLE, uint64_t> sections;  // section handle -> file; also in `handles`
  struct View {
    uint64_t file;
    std::vector<uint8_t> bytes;
  };
  std::map<const void*, std::unique_ptr<View>> views;  // by base address
  DWORD fileMappingError = 0;
  DWORD mapViewError = 0;
  bool sameFileAnswered = false;
  LONG sameFileAnswer = 0;
  DWORD threadError = 0;
  std::vector<std::shared_ptr<SimThread>> threads;  // not yet ended
  std::map<HANDLE, bool> events;  // set or not
  // The process starts with one inheritable handle to its real output, which
  // is both its standard output handle and the C runtime's descriptor 1.
  std::map<HANDLE, Stream> streams{{kStandardOutput, {false, true}}};
  HANDLE stdOutput = kStandardOutput;
  std::map<int, HANDLE> descriptors{{1, kStandardOutput}};
  DWORD duplicateError = 0;
  bool nulFails = false;
  bool dupLeavesStandardHandle = false;
  DWORD eventError = 0;
  bool threadsHeld = false;
  bool outputEnded = false;        // a write of no bytes reached the reader
  unsigned duplicatePasses = 0;    // DuplicateHandle calls that succeed before duplicateError
  bool outputOverstated = false;   // WriteFile to the output reports a byte more
};

World& W() {
  // Never destroyed: a thread may still be parked in it when the test program
  // ends.
  static World& world = *new World;
  return world;
}

std::vector<std::function<void()>>& Parts() {
  static std::vector<std::function<void()>> parts;
  return parts;
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::wstring DirectoryOf(const std::wstring& key) {
  size_t slash = key.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

std::wstring FileNameOf(const std::wstring& key) {
  size_t slash = key.find_last_of(L'\\');
  return slash == std::wstring::npos ? key : key.substr(slash + 1);
}

std::wstring Join(const std::wstring& dir, const std::wstring& name) {
  if (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) return dir + name;
  return dir + L"\\" + name;
}

// The key a lookup of `key` ends at: every junction on the way is followed,
// component by component, as the file system does when it opens a path.
std::wstring Resolve(std::wstring key) {
  for (int hops = 0; hops < 32; ++hops) {
    bool redirected = false;
    for (size_t i = 1; i <= key.size() && !redirected; ++i) {
      if (i != key.size() && key[i] != L'\\') continue;
      auto it = W().files.find(key.substr(0, i));
      if (it != W().files.end() && !it->second.target.empty()) {
        key = internal::PathKey(it->second.target) + key.substr(i);
        redirected = true;
      }
    }
    if (!redirected) return key;
  }
  return key;
}

// Where an entry named by `path` is kept: its directory resolved, its own name
// not (a junction is itself an entry).
std::wstring StoreKey(const std::wstring& path) {
  std::wstring key = internal::PathKey(path);
  size_t slash = key.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash == 0) return key;
  return Resolve(key.substr(0, slash)) + key.substr(slash);
}

FileEntry* Find(const std::wstring& path) {
  auto it = W().files.find(Resolve(internal::PathKey(path)));
  return it == W().files.end() ? nullptr : &it->second;
}

// The name the file system gives the entry at `key`: each component spelt as
// its own entry spells it, in the \\?\C:\ form (\\?\UNC\ for a share).
std::wstring FinalPathOf(const std::wstring& key) {
  const std::wstring display = internal::DisplayPath(W().files.at(key).path);
  const bool aligned = internal::PathKey(display) == key;
  std::wstring out;
  size_t next = 2;
  if (key.rfind(L"\\\\", 0) == 0) {
    next = key.find(L'\\', 2);
    next = next == std::wstring::npos ? key.size() : key.find(L'\\', next + 1);
    if (next == std::wstring::npos) next = key.size();
    out = L"\\\\?\\UNC\\" + (aligned ? display : key).substr(2, next - 2);
  } else {
    out = L"\\\\?\\" + (aligned ? display : key).substr(0, 2);
  }
  while (next < key.size()) {
    size_t end = key.find(L'\\', next + 1);
    if (end == std::wstring::npos) end = key.size();
    auto it = W().files.find(key.substr(0, end));
    std::wstring name = (aligned ? display : key).substr(next + 1, end - next - 1);
    if (it != W().files.end()) {
      const std::wstring own = internal::DisplayPath(it->second.path);
      name = own.substr(own.find_last_of(L'\\') + 1);
    }
    out += L"\\" + name;
    next = end;
  }
  return out;
}

// The system module a full path names, if any: a registered name inside the
// current system directory.
SimModule* SystemModuleAt(const std::wstring& path) {
  std::wstring key = internal::PathKey(path);
  // A drive root keeps its backslash as a key ("c:\"); a file's directory part
  // does not ("c:").
  std::wstring systemKey = internal::PathKey(W().systemDir);
  if (!systemKey.empty() && systemKey.back() == L'\\') systemKey.pop_back();
  if (DirectoryOf(key) != systemKey) return nullptr;
  auto it = W().systemModules.find(Narrow(FileNameOf(key)));
  return it == W().systemModules.end() ? nullptr : it->second.get();
}

bool HasSeparator(const std::wstring& name) {
  return name.find_first_of(L"\\/") != std::wstring::npos;
}

bool Conflicts(const OpenRecord& open, DWORD access, DWORD share) {
  if ((open.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  if ((open.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
  if ((access & GENERIC_WRITE) && !(open.share & FILE_SHARE_WRITE)) return true;
  if ((access & GENERIC_READ) && !(open.share & FILE_SHARE_READ)) return true;
  return false;
}

bool HeldForWritingElsewhere(const std::wstring& key) {
  // Callers pass a resolved key.
  for (const OpenRecord& open : W().elsewhere) {
    if (open.key == key && (open.access & GENERIC_WRITE)) return true;
  }
  return false;
}

bool TakeFailure(unsigned& countdown) {
  if (countdown == 0) return false;
  return --countdown == 0;
}

void Bad() { ++W().counters.badReleases; }

std::wstring CurrentSystemDir() {
  if (W().sysDirGrown) return W().systemDir + std::wstring(W().sysDirGrowth, L'x');
  return W().systemDir;
}

// UTF-8 encoding of one code point; invalid ones become U+FFFD.
void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes UTF-8; returns false on an invalid sequence (which is still replaced
// by U+FFFD in the output).
bool DecodeUtf8(const uint8_t* s, size_t n, std::wstring& out) {
  bool valid = true;
  size_t i = 0;
  while (i < n) {
    uint8_t b = s[i];
    uint32_t cp = 0;
    size_t extra = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      extra = 3;
    } else {
      valid = false;
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    if (n - i - 1 < extra) {
      valid = false;
      out.push_back(static_cast<wchar_t>(0xFFFD));
      break;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t c = s[i + k];
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      valid = false;
      out.push_back(static_cast<wchar_t>(0xFFFD));
      i += ok ? extra + 1 : 1;
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += extra + 1;
  }
  return valid;
}

}  // namespace

// ------------------------------------------------------------------ internal

namespace internal {

std::wstring WideFromUtf8(const std::string& text) {
  std::wstring points;
  (void)DecodeUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size(), points);
  std::wstring units;
  for (wchar_t point : points) {
    const uint32_t cp = static_cast<uint32_t>(point);
    if (cp < 0x10000) {
      units.push_back(point);
    } else {
      units.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

WorldPart::WorldPart(std::function<void()> reset) { Parts().push_back(std::move(reset)); }

void RegisterSystemExport(const std::string& module, const std::string& name, void* function) {
  SetSystemExport(module, name, function);
}

void TraceLine(std::string line) {
  W().trace.push_back(line);
  auto& hooks = W().hooks;
  for (size_t i = 0; i < hooks.size(); ++i) {
    if (line.compare(0, hooks[i].prefix.size(), hooks[i].prefix) != 0) continue;
    std::function<void()> action = std::move(hooks[i].action);
    hooks.erase(hooks.begin() + static_cast<std::ptrdiff_t>(i));
    action();
    return;
  }
}

void Count(Counter counter, int delta) {
  Counters& c = W().counters;
  switch (counter) {
    case Counter::kMessages: c.messages += delta; break;
    case Counter::kStores: c.stores += delta; break;
    case Counter::kCertContexts: c.certContexts += delta; break;
    case Counter::kChainContexts: c.chainContexts += delta; break;
    case Counter::kHashObjects: c.hashObjects += delta; break;
    case Counter::kBadReleases: c.badReleases += delta; break;
  }
}

bool IsFile(const std::wstring& path) {
  FileEntry* entry = Find(path);
  return entry != nullptr && entry->kind == Kind::kFile;
}

std::wstring DisplayPath(const std::wstring& path) {
  std::wstring key = path;
  for (wchar_t& c : key) {
    if (c == L'/') c = L'\\';
  }
  // \\?\C:\x and \\?\UNC\server\x name what C:\x and \\server\x name; a
  // root-relative \x is on the current drive, C: in this world.
  if (key.rfind(L"\\\\?\\UNC\\", 0) == 0 || key.rfind(L"\\\\?\\unc\\", 0) == 0) {
    key = L"\\\\" + key.substr(8);
  } else if (key.rfind(L"\\\\?\\", 0) == 0) {
    key = key.substr(4);
  } else if (key.size() >= 1 && key[0] == L'\\' && (key.size() == 1 || key[1] != L'\\')) {
    key = L"C:" + key;
  }
  while (key.size() > 3 && key.back() == L'\\') key.pop_back();
  return key;
}

std::wstring PathKey(const std::wstring& path) {
  std::wstring key = DisplayPath(path);
  for (wchar_t& c : key) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return key;
}

}  // namespace internal

// ------------------------------------------------------------------ control

void Reset() {
  World& w = W();
  // A thread parked in Sleep stays parked for good: it belongs to a process
  // that no longer exists.
  static auto& abandoned = *new std::vector<std::shared_ptr<SimThread>>;
  for (auto& thread : w.threads) {
    if (thread->state == SimThread::kParked) {
      thread->os.detach();
      abandoned.push_back(thread);
    }
  }
  for (void* block : w.localBlocks) std::free(block);
  for (void* block : w.crtBlocks) std::free(block);
  w = World{};
  w.exePath = L"C:\\Program Files\\Launcher\\platform_probe.exe";
  w.appData = L"C:\\ProgramData";
  w.systemDir = L"C:\\Windows\\system32";
  AddDirectory(L"C:\\ProgramData");
  AddDirectory(L"C:\\Windows\\system32");
  AddDirectory(L"C:\\Program Files\\Launcher");
  AddFile(w.exePath);
  for (const char* name : {"crypt32.dll", "cryptnet.dll", "cryptbase.dll", "wintrust.dll",
                           "shell32.dll", "shlwapi.dll", "imagehlp.dll", "kernel32.dll",
                           "advapi32.dll", "ntdll.dll"}) {
    auto module = std::make_unique<SimModule>();
    module->name = name;
    module->system = true;
    w.systemModules[name] = std::move(module);
  }
  // kernel32 is mapped before the program's first instruction and stays.
  SimModule& kernel32 = *w.systemModules["kernel32.dll"];
  kernel32.path = Join(w.systemDir, L"kernel32.dll");
  kernel32.refs = 1;
  kernel32.exports["SetDefaultDllDirectories"] = reinterpret_cast<void*>(&SimSetDefaultDllDirectories);
  kernel32.exports["AddDllDirectory"] = reinterpret_cast<void*>(&SimAddDllDirectory);
  // So is ntdll.
  SimModule& ntdll = *w.systemModules["ntdll.dll"];
  ntdll.path = Join(w.systemDir, L"ntdll.dll");
  ntdll.refs = 1;
  ntdll.exports["NtAreMappedFilesTheSame"] = reinterpret_cast<void*>(&SimNtAreMappedFilesTheSame);
  w.systemModules["shell32.dll"]->exports["SHGetSpecialFolderPathW"] =
      reinterpret_cast<void*>(&::SHGetSpecialFolderPathW);
  w.systemModules["shlwapi.dll"]->exports["PathFileExistsW"] =
      reinterpret_cast<void*>(&::PathFileExistsW);
  for (const auto& part : Parts()) part();
  w.trace.clear();
}

void SetExecutablePath(const std::wstring& path) { W().exePath = path; }
void FailModuleFileName(DWORD error) { W().moduleFileNameError = error; }
void SetCommonAppDataFolder(const std::wstring& path) {
  W().appData = path;
  W().appDataFails = false;
}
void FailCommonAppDataFolder() { W().appDataFails = true; }
void AnswerCommonAppDataFolder(BOOL answer) { W().appDataAnswer = answer; }

// Every directory above a new entry exists, as on a real volume.
static void AddParents(const std::wstring& path) {
  const std::wstring key = StoreKey(path);
  const std::wstring display = internal::DisplayPath(path);
  const bool aligned = internal::PathKey(display) == key;
  // The first separator that ends a directory: after "c:" or "\\server\share".
  size_t first = 2;
  if (key.rfind(L"\\\\", 0) == 0) {
    first = key.find(L'\\', 2);
    first = first == std::wstring::npos ? key.size() : key.find(L'\\', first + 1);
  }
  for (size_t cut = key.find(L'\\', first + 1); cut != std::wstring::npos;
       cut = key.find(L'\\', cut + 1)) {
    const std::wstring parent = key.substr(0, cut);
    if (W().files.count(parent) != 0) continue;
    FileEntry& dir = W().files[parent];
    dir.path = aligned ? display.substr(0, cut) : parent;
    dir.kind = Kind::kDirectory;
    dir.attributes = FILE_ATTRIBUTE_DIRECTORY;
  }
}

void AddFile(const std::wstring& path, std::vector<uint8_t> content, DWORD attributes) {
  AddParents(path);
  FileEntry& entry = W().files[StoreKey(path)];
  entry = FileEntry{};
  entry.path = path;
  entry.kind = Kind::kFile;
  entry.id = W().nextFileId++;
  entry.attributes = attributes;
  entry.content = std::move(content);
}

void AddHardLink(const std::wstring& link, const std::wstring& existing) {
  const FileEntry* file = Find(existing);
  if (file == nullptr || file->kind != Kind::kFile) return;
  const uint64_t id = file->id;
  const uint64_t sparseLength = file->sparseLength;
  std::vector<Export> exports;
  if (file->library) {
    for (const auto& [name, function] : file->library->exports) exports.push_back({name, function});
  }
  const bool library = file->library != nullptr;
  AddFile(link, file->content, file->attributes);
  FileEntry* entry = Find(link);
  entry->id = id;
  entry->sparseLength = sparseLength;
  if (library) AddLibrary(link, std::move(exports));
}

void AddDirectory(const std::wstring& path) {
  FileEntry& entry = W().files[StoreKey(path)];
  entry = FileEntry{};
  entry.path = path;
  entry.kind = Kind::kDirectory;
  entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
}

void AddDevice(const std::wstring& path) {
  FileEntry& entry = W().files[StoreKey(path)];
  entry = FileEntry{};
  entry.path = path;
  entry.kind = Kind::kDevice;
  entry.attributes = FILE_ATTRIBUTE_DEVICE;
}

void RemoveFile(const std::wstring& path) { W().files.erase(StoreKey(path)); }

void AddJunction(const std::wstring& link, const std::wstring& target) {
  FileEntry& entry = W().files[StoreKey(link)];
  entry = FileEntry{};
  entry.path = link;
  entry.kind = Kind::kDirectory;
  entry.attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  entry.target = target;
}

bool MoveDirectory(const std::wstring& from, const std::wstring& to) {
  World& w = W();
  const std::wstring fromKey = StoreKey(from);
  const std::wstring toKey = StoreKey(to);
  if (w.files.count(fromKey) == 0 || w.files.count(toKey) != 0) return false;
  // Renaming opens the directory for deletion: a holder that does not share
  // deletion stops it.
  for (const auto& [handle, open] : w.handles) {
    if (open.key == fromKey && !(open.share & FILE_SHARE_DELETE)) return false;
  }
  for (const OpenRecord& open : w.elsewhere) {
    if (open.key == fromKey && !(open.share & FILE_SHARE_DELETE)) return false;
  }
  auto below = [&](const std::wstring& key) {
    return key == fromKey || key.rfind(fromKey + L"\\", 0) == 0;
  };
  std::vector<std::wstring> moved;
  for (const auto& [key, entry] : w.files) {
    if (below(key)) moved.push_back(key);
  }
  for (const std::wstring& key : moved) {
    auto node = w.files.extract(key);
    const size_t tail = key.size() - fromKey.size();
    node.mapped().path = to + node.mapped().path.substr(node.mapped().path.size() - tail);
    node.key() = toKey + key.substr(fromKey.size());
    w.files.insert(std::move(node));
  }
  for (auto& [handle, open] : w.handles) {
    if (below(open.key)) open.key = toKey + open.key.substr(fromKey.size());
  }
  internal::TraceLine("MoveDirectory " + Narrow(from) + " -> " + Narrow(to));
  return true;
}

void WhenTraced(const std::string& prefix, std::function<void()> action) {
  W().hooks.push_back({prefix, std::move(action)});
}

bool FileExists(const std::wstring& path) { return Find(path) != nullptr; }

const std::vector<uint8_t>* FileContent(const std::wstring& path) {
  FileEntry* entry = Find(path);
  return entry ? &entry->content : nullptr;
}

void AddLibrary(const std::wstring& path, std::vector<Export> exports) {
  FileEntry* entry = Find(path);
  if (entry == nullptr || entry->kind != Kind::kFile) {
    // An image's first bytes, so that the file has a section to map.
    AddFile(path, {'M', 'Z'});
    entry = Find(path);
  }
  entry->library = std::make_unique<SimModule>();
  entry->library->path = path;
  entry->library->name = Narrow(FileNameOf(internal::PathKey(path)));
  for (Export& e : exports) entry->library->exports[e.name] = e.function;
}

void FailLibraryLoad(const std::wstring& path, DWORD error) {
  if (FileEntry* entry = Find(path)) entry->loadError = error;
}

void RedirectLibrary(const std::wstring& path, const std::wstring& to) {
  W().redirects[Resolve(internal::PathKey(path))] = to;
}

void FailFinalPath(DWORD error) { W().finalPathError = error; }
void AnswerFinalPath(const std::wstring& path, const std::wstring& answer) {
  W().finalPathAnswers[Resolve(internal::PathKey(path))] = answer;
}
void FailFileMapping(DWORD error) { W().fileMappingError = error; }
void FailMapView(DWORD error) { W().mapViewError = error; }
void AnswerMappedFilesTheSame(LONG status) {
  W().sameFileAnswered = true;
  W().sameFileAnswer = status;
}

void SetWorkingDirectory(const std::wstring& path) { W().workingDir = path; }
UINT ErrorMode() { return W().errorMode; }
LPTOP_LEVEL_EXCEPTION_FILTER ExceptionFilter() { return W().filter; }
const std::string& StandardOutput() { return W().standardOutput; }
void LimitStandardOutput(DWORD room) { W().outputRoom = room; }
void FailStandardOutput(DWORD error) { W().outputError = error; }
long ExitCode() { return W().exitCode; }
void FailThreadCreation(DWORD error) { W().threadError = error; }

bool WriteThroughStandardHandle(const std::string& text) {
  DWORD written = 0;
  return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                   &written, nullptr) != FALSE;
}

bool WriteThroughDescriptor(int descriptor, const std::string& text) {
  const intptr_t handle = _get_osfhandle(descriptor);
  DWORD written = 0;
  return handle != -1 && WriteFile(reinterpret_cast<HANDLE>(handle), text.data(),
                                   static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
}

size_t InheritableOutputHandles() {
  size_t count = 0;
  for (const auto& [handle, stream] : W().streams) count += !stream.nul && stream.inherit;
  return count;
}

void FailHandleDuplication(DWORD error, unsigned passes) {
  W().duplicatePasses = passes;
  W().duplicateError = error;
}
void FailNulOpen() { W().nulFails = true; }
void OverstateStandardOutput() { W().outputOverstated = true; }
void CrtHoldsItsOwnOutputHandle() {
  auto& w = W();
  HANDLE copy = reinterpret_cast<HANDLE>(w.nextHandle);
  w.nextHandle += 4;
  w.streams[copy] = {false, true};
  w.descriptors[1] = copy;
  w.dupLeavesStandardHandle = true;
}
void FailEventCreation(DWORD error) { W().eventError = error; }
void HoldNewThreads() { W().threadsHeld = true; }

// Lets `thread` run (from its start, or on from where it parked) until it
// parks again or ends; the calling thread waits meanwhile.
void Step(SimThread& thread) {
  std::unique_lock<std::mutex> lock(thread.lock);
  if (thread.state == SimThread::kNew) {
    thread.state = SimThread::kRunning;
    thread.os = std::thread([&thread] {
      t_currentThread = &thread;
      thread.start(thread.parameter);
      std::lock_guard<std::mutex> done(thread.lock);
      thread.state = SimThread::kDone;
      thread.changed.notify_all();
    });
  } else {
    thread.state = SimThread::kRunning;
    thread.changed.notify_all();
  }
  thread.changed.wait(lock, [&thread] { return thread.state != SimThread::kRunning; });
  if (thread.state == SimThread::kDone) {
    lock.unlock();
    thread.os.join();
  }
}

size_t RunThreads() {
  size_t ran = 0;
  while (!W().threads.empty()) {
    std::shared_ptr<SimThread> thread = W().threads.front();
    while (thread->state != SimThread::kDone) Step(*thread);
    W().threads.erase(W().threads.begin());
    ++ran;
  }
  return ran;
}

void HoldOpenElsewhere(const std::wstring& path, DWORD access, DWORD shareMode) {
  W().elsewhere.push_back({Resolve(internal::PathKey(path)), path, access, shareMode});
}

void FailFileOpen(const std::wstring& path, DWORD error) {
  if (FileEntry* entry = Find(path)) entry->openError = error;
}

void ClobberLastErrorOnRelease(DWORD value) {
  W().clobberOnRelease = true;
  W().clobberValue = value;
}

void internal::AfterRelease() {
  if (W().clobberOnRelease) W().lastError = W().clobberValue;
}

std::vector<OpenFile> OpenFilesOf(const std::wstring& path) {
  std::vector<OpenFile> result;
  std::wstring key = Resolve(internal::PathKey(path));
  for (const auto& [handle, open] : W().handles) {
    if (open.key == key) result.push_back({open.path, open.access, open.share});
  }
  return result;
}

void SetSystemBuild(DWORD buildNumber) { W().build = buildNumber; }
void SetSystemDirectory(const std::wstring& path) {
  W().systemDir = path;
  AddDirectory(path);
}
void FailSystemDirectorySizeQuery(DWORD error) { W().sysDirSizeError = error; }
void FailSystemDirectoryFillQuery(DWORD error) { W().sysDirFillError = error; }
void GrowSystemDirectoryBetweenQueries(unsigned extraCharacters) {
  W().sysDirGrowth = extraCharacters;
}

void SetSystemExport(const std::string& module, const std::string& name, void* function) {
  auto& mods = W().systemModules;
  auto it = mods.find(Lower(module));
  if (it == mods.end()) {
    auto created = std::make_unique<SimModule>();
    created->name = Lower(module);
    created->system = true;
    it = mods.emplace(Lower(module), std::move(created)).first;
  }
  it->second->exports[name] = function;
  it->second->hidden.erase(name);
}

void HideSystemExport(const std::string& module, const std::string& name) {
  auto it = W().systemModules.find(Lower(module));
  if (it != W().systemModules.end()) it->second->hidden.insert(name);
}

void FailSystemModule(const std::string& module, DWORD error) {
  auto it = W().systemModules.find(Lower(module));
  if (it != W().systemModules.end()) it->second->failError = error;
}

void RestoreSystemModule(const std::string& module) {
  auto it = W().systemModules.find(Lower(module));
  if (it != W().systemModules.end()) it->second->failError = 0;
}

const std::vector<VersionQuery>& VersionQueries() { return W().versionQueries; }

void FailWideToUtf8(DWORD error, unsigned fromCall) {
  W().wideToUtf8Error = error;
  W().wideToUtf8Passes = fromCall == 0 ? 0 : fromCall - 1;
}
void FailUtf8ToWide(DWORD error, unsigned fromCall) {
  W().utf8ToWideError = error;
  W().utf8ToWidePasses = fromCall == 0 ? 0 : fromCall - 1;
}

void FailCrtAllocation(unsigned nth) { W().crtFailCountdown = nth; }

void AnswerFileRead(unsigned nth, ReadAnswer answer) {
  W().readAnswerCountdown = nth;
  W().readAnswer = answer;
}

void FailFileSize(DWORD error) { W().fileSizeError = error; }

void SetSparseLength(const std::wstring& path, uint64_t length) {
  FileEntry* entry = Find(path);
  if (entry != nullptr) entry->sparseLength = length;
}
void FailLocalAllocation(unsigned nth) { W().localFailCountdown = nth; }

Counters Live() {
  Counters c = W().counters;
  c.crtBlocks = static_cast<int>(W().crtBlocks.size());
  c.localBlocks = static_cast<int>(W().localBlocks.size());
  c.fileHandles = static_cast<int>(W().handles.size());
  c.views = static_cast<int>(W().views.size());
  c.moduleRefs = 0;
  for (const auto& [key, entry] : W().files) {
    if (entry.library) c.moduleRefs += entry.library->refs;
  }
  c.systemModuleRefs = 0;
  for (const auto& [name, module] : W().systemModules) c.systemModuleRefs += module->refs;
  return c;
}

bool AllReleased(int keptModuleRefs) {
  Counters c = Live();
  return c.crtBlocks == 0 && c.localBlocks == 0 && c.fileHandles == 0 && c.views == 0 &&
         c.moduleRefs == keptModuleRefs && c.messages == 0 && c.stores == 0 &&
         c.certContexts == 0 && c.chainContexts == 0 && c.hashObjects == 0 &&
         c.badReleases == 0;
}

const std::vector<std::string>& Trace() { return W().trace; }
unsigned FileReads() { return W().reads; }
void ClearTrace() { W().trace.clear(); }
size_t CountTrace(const std::string& prefix) {
  return static_cast<size_t>(std::count_if(W().trace.begin(), W().trace.end(), [&](const std::string& line) {
    return line.compare(0, prefix.size(), prefix) == 0;
  }));
}
const std::vector<std::wstring>& MappedPaths() { return W().mapped; }

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) AppendUtf8(out, static_cast<uint32_t>(c));
  return out;
}

}  // namespace sim

// ------------------------------------------------------------------ Windows

using sim::W;

DWORD WINAPI GetLastError() { return W().lastError; }
void WINAPI SetLastError(DWORD error) { W().lastError = error; }

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
  sim::internal::TraceLine("GetModuleFileNameW " + std::to_string(size));
  if (W().moduleFileNameError != 0) {
    const std::wstring decoy = L"C:\\Decoy\\platform_probe.exe";
    if (filename != nullptr && decoy.size() < size) {
      std::copy(decoy.begin(), decoy.end(), filename);
      filename[decoy.size()] = L'\0';
    }
    SetLastError(W().moduleFileNameError);
    return 0;
  }
  std::wstring path = module ? module->path : W().exePath;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    std::copy(path.begin(), path.end(), filename);
    filename[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
  }
  // Cut: as much as fits with a terminator, and the capacity as the result.
  std::copy(path.begin(), path.begin() + (size - 1), filename);
  filename[size - 1] = L'\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE, DWORD flags) {
  auto& w = W();
  if (fileName == nullptr) {
    sim::internal::TraceLine("LoadLibraryExW (null) " + sim::Hex(flags));
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::wstring name = fileName;
  sim::internal::TraceLine("LoadLibraryExW " + sim::Narrow(name) + " " + sim::Hex(flags));

  std::vector<std::wstring> candidates;
  if (name.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                             LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  DWORD search = flags & kSearchFlags;
  if (search == 0) search = w.defaultDllDirectories;
  if (search & LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) {
    search |= LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  }
  if (sim::HasSeparator(name)) {
    candidates.push_back(name);
  } else if (search != 0) {
    // The directories asked for, and only those (no user directories exist here).
    if (search & LOAD_LIBRARY_SEARCH_APPLICATION_DIR) {
      candidates.push_back(sim::Join(sim::DirectoryOf(w.exePath), name));
    }
    if (search & LOAD_LIBRARY_SEARCH_SYSTEM32) candidates.push_back(sim::Join(w.systemDir, name));
  } else {
    // The standard search order: the executable's directory comes first, which is
    // exactly why the probe never loads a bare name this way; the working
    // directory comes after the system's, unless SetDllDirectoryW(L"") took it out.
    candidates.push_back(sim::Join(sim::DirectoryOf(w.exePath), name));
    candidates.push_back(sim::Join(w.systemDir, name));
    if (w.workingDirSearched && !w.workingDir.empty()) {
      candidates.push_back(sim::Join(w.workingDir, name));
    }
  }

  for (std::wstring candidate : candidates) {
    const std::wstring asked = candidate;
    auto redirect = w.redirects.find(sim::Resolve(sim::internal::PathKey(candidate)));
    if (redirect != w.redirects.end()) candidate = redirect->second;
    if (SimModule* system = sim::SystemModuleAt(candidate)) {
      if (system->failError != 0) {
        SetLastError(system->failError);
        return nullptr;
      }
      system->path = candidate;
      ++system->refs;
      w.mapped.push_back(candidate);
      return system;
    }
    sim::FileEntry* entry = sim::Find(candidate);
    if (entry == nullptr) continue;
    if (entry->kind != sim::Kind::kFile) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (sim::HeldForWritingElsewhere(sim::Resolve(sim::internal::PathKey(candidate)))) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return nullptr;
    }
    if (entry->loadError != 0) {
      SetLastError(entry->loadError);
      return nullptr;
    }
    if (!entry->library) {
      SetLastError(ERROR_BAD_EXE_FORMAT);
      return nullptr;
    }
    // The module's file name is the full path the loader was given, without
    // its \\?\ prefix as Wine gives it, whatever file it took for that name;
    // the kernel knows the file actually mapped.
    if (entry->library->refs == 0) {
      entry->library->path = sim::internal::DisplayPath(asked);
      entry->library->file = entry->id;
    }
    ++entry->library->refs;
    // The file that was mapped, whatever way the path took to it.
    w.mapped.push_back(entry->path);
    return entry->library.get();
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

namespace {
bool KnownModule(HMODULE module) {
  if (module == nullptr) return false;
  for (const auto& [name, system] : W().systemModules) {
    if (system.get() == module) return system->refs > 0;
  }
  for (const auto& [key, entry] : W().files) {
    if (entry.library.get() == module) return entry.library->refs > 0;
  }
  return false;
}
}  // namespace

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  if (!KnownModule(module) || procName == nullptr) {
    sim::internal::TraceLine("GetProcAddress ? " + std::string(procName ? procName : "(null)"));
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return nullptr;
  }
  sim::internal::TraceLine("GetProcAddress " + module->name + " " + procName);
  auto it = module->exports.find(procName);
  if (it == module->exports.end() || module->hidden.count(procName) != 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(it->second);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  if (!KnownModule(module)) {
    sim::Bad();
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  sim::internal::TraceLine("FreeLibrary " + sim::Narrow(module->path));
  --module->refs;
  sim::internal::AfterRelease();
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  sim::internal::TraceLine("GetFileAttributesW " + sim::Narrow(fileName));
  sim::FileEntry* entry = sim::Find(fileName);
  if (entry == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return entry->attributes;
}

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES, DWORD creationDisposition, DWORD flags, HANDLE) {
  auto& w = W();
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  sim::internal::TraceLine("CreateFileW " + sim::Narrow(fileName) + " " + sim::Hex(desiredAccess) +
                           " " + sim::Hex(shareMode));
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  sim::FileEntry* entry = sim::Find(fileName);
  if (entry == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A directory opens only for backup semantics, as on Windows.
  if (entry->kind == sim::Kind::kDirectory && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (entry->openError != 0) {
    SetLastError(entry->openError);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring key = sim::Resolve(sim::internal::PathKey(fileName));
  auto conflicts = [&](const sim::OpenRecord& open) {
    return open.key == key && sim::Conflicts(open, desiredAccess, shareMode);
  };
  bool conflict = std::any_of(w.elsewhere.begin(), w.elsewhere.end(), conflicts);
  for (const auto& [handle, open] : w.handles) conflict = conflict || conflicts(open);
  if (conflict) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(w.nextHandle);
  w.nextHandle += 4;
  w.handles[handle] = {key, fileName, desiredAccess, shareMode};
  return handle;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  // The standard output and NUL are not counted among the handles a test
  // expects released: the probe keeps its report handle to the end.
  if (W().streams.erase(object) != 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  W().events.erase(object);
  auto it = W().handles.find(object);
  if (it == W().handles.end()) {
    sim::Bad();
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  sim::internal::TraceLine("CloseHandle " + sim::Narrow(it->second.path));
  W().handles.erase(it);
  W().sections.erase(object);
  // Closing succeeds and, as on some systems, clears the thread's last error:
  // a caller that needs its error value past a close has to keep it.
  SetLastError(ERROR_SUCCESS);
  sim::internal::AfterRelease();
  return TRUE;
}

// Reads at the offset the OVERLAPPED names (the handles are synchronous, as
// the probe opens them), or at 0 without one; a read past the end gives 0 bytes.
// A sparse file reads as zeros past its content.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
  auto it = W().handles.find(file);
  // Reading into no buffer at all is the caller's fault, whatever the
  // platform then answers.
  if (buffer == nullptr && bytesToRead != 0) sim::Bad();
  if (it == W().handles.end() || buffer == nullptr || bytesRead == nullptr) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  *bytesRead = 0;
  if ((it->second.access & GENERIC_READ) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const sim::FileEntry* entry = sim::Find(it->second.path);
  if (entry == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const uint64_t offset =
      overlapped ? (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset : 0;
  ++W().reads;
  const uint64_t size = std::max<uint64_t>(entry->content.size(), entry->sparseLength);
  const bool answerOtherwise = sim::TakeFailure(W().readAnswerCountdown);
  if (answerOtherwise && W().readAnswer == sim::ReadAnswer::kFails) {
    SetLastError(1117 /* ERROR_IO_DEVICE */);
    return FALSE;
  }
  if (offset >= size) {
    if (overlapped != nullptr) {
      SetLastError(ERROR_HANDLE_EOF);
      return FALSE;
    }
    return TRUE;
  }
  uint64_t count = std::min<uint64_t>(bytesToRead, size - offset);
  if (answerOtherwise && W().readAnswer == sim::ReadAnswer::kNothing) return TRUE;
  if (answerOtherwise && W().readAnswer == sim::ReadAnswer::kShortByOne && count > 1) --count;
  const uint64_t stored =
      offset < entry->content.size() ? std::min<uint64_t>(count, entry->content.size() - offset) : 0;
  if (stored != 0) std::memcpy(buffer, entry->content.data() + offset, static_cast<size_t>(stored));
  std::memset(static_cast<uint8_t*>(buffer) + stored, 0, static_cast<size_t>(count - stored));
  *bytesRead = static_cast<DWORD>(count);
  if (answerOtherwise && W().readAnswer == sim::ReadAnswer::kMoreThanAsked) ++*bytesRead;
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  auto it = W().handles.find(file);
  if (it == W().handles.end() || size == nullptr) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  const sim::FileEntry* entry = sim::Find(it->second.path);
  size->QuadPart =
      entry ? static_cast<int64_t>(std::max<uint64_t>(entry->content.size(), entry->sparseLength))
            : 0;
  if (W().fileSizeError != 0) {
    SetLastError(W().fileSizeError);
    return FALSE;
  }
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT, SIZE_T bytes) {
  if (sim::TakeFailure(W().localFailCountdown)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  W().localBlocks.insert(block);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  if (mem == nullptr) return nullptr;
  auto it = W().localBlocks.find(mem);
  if (it == W().localBlocks.end()) {
    sim::Bad();
    return mem;
  }
  W().localBlocks.erase(it);
  std::free(mem);
  sim::internal::AfterRelease();
  return nullptr;
}

void* CrtAlloc(size_t bytes) {
  if (sim::TakeFailure(W().crtFailCountdown)) return nullptr;
  // No block larger than a 32-bit process's whole user address space.
  // Only a length that wrapped asks for that much: the request is a fault.
  if (bytes > 0x7FFFFFFF) {
    sim::Bad();
    return nullptr;
  }
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return nullptr;
  // Fill with a pattern: the C runtime does not zero, and code that forgets to
  // initialise should not be saved by luck.
  std::memset(block, 0xA5, bytes == 0 ? 1 : bytes);
  W().crtBlocks.insert(block);
  return block;
}

void CrtFree(void* block) {
  if (block == nullptr) return;
  auto it = W().crtBlocks.find(block);
  if (it == W().crtBlocks.end()) {
    sim::Bad();
    return;
  }
  W().crtBlocks.erase(it);
  std::free(block);
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  auto& w = W();
  sim::internal::TraceLine("GetSystemDirectoryW " + std::to_string(size));
  bool sizeQuery = buffer == nullptr || size == 0;
  if (sizeQuery && w.sysDirSizeError != 0) {
    SetLastError(w.sysDirSizeError);
    return 0;
  }
  if (!sizeQuery && w.sysDirFillError != 0) {
    SetLastError(w.sysDirFillError);
    return 0;
  }
  std::wstring dir = sim::CurrentSystemDir();
  if (sizeQuery && w.sysDirGrowth != 0) w.sysDirGrown = true;
  if (sizeQuery || size < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
  std::copy(dir.begin(), dir.end(), buffer);
  buffer[dir.size()] = L'\0';
  return static_cast<UINT>(dir.size());
}

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) {
  sim::internal::TraceLine("VerSetConditionMask");
  for (unsigned bit = 0; bit < 8; ++bit) {
    if (typeMask & (1u << bit)) {
      conditionMask |= static_cast<ULONGLONG>(condition & 7) << (bit * 3);
    }
  }
  return conditionMask;
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, DWORDLONG conditionMask) {
  sim::internal::TraceLine("VerifyVersionInfoW " + std::to_string(info ? info->dwBuildNumber : 0));
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  W().versionQueries.push_back({info->dwOSVersionInfoSize, info->dwMajorVersion,
                                info->dwMinorVersion, info->dwBuildNumber,
                                info->wServicePackMajor, info->wProductType, typeMask,
                                conditionMask});
  if (typeMask != VER_BUILDNUMBER || ((conditionMask >> 6) & 7) != VER_GREATER_EQUAL ||
      info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return FALSE;
  }
  if (W().build >= info->dwBuildNumber) return sim::internal::kNonzeroSuccess;
  SetLastError(1150 /* ERROR_OLD_WIN_VERSION */);
  return FALSE;
}

namespace {
// Whether a conversion armed to fail still passes, counting it.
bool ConversionPasses(unsigned* passes) {
  if (*passes == 0) return false;
  --*passes;
  return true;
}
// A failed conversion: the decoy path where the output has room for it.
template <typename Char>
int FailedConversion(Char* out, int outSize, DWORD error) {
  const char decoy[] = "C:\\D\\StpRuntimeSdk.dll";
  if (out != nullptr && static_cast<size_t>(outSize) >= sizeof decoy) {
    for (size_t i = 0; i < sizeof decoy; ++i) out[i] = static_cast<Char>(decoy[i]);
  }
  SetLastError(error);
  return 0;
}
}  // namespace

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideStr, int wideCount,
                               LPSTR out, int outSize, LPCSTR, LPBOOL) {
  if (codePage != CP_UTF8 || wideStr == nullptr || outSize < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (W().wideToUtf8Error != 0 && !ConversionPasses(&W().wideToUtf8Passes)) {
    return FailedConversion(out, outSize, W().wideToUtf8Error);
  }
  size_t count = wideCount < 0 ? std::wcslen(wideStr) + 1 : static_cast<size_t>(wideCount);
  std::string utf8;
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp = static_cast<uint32_t>(wideStr[i]);
    if ((flags & WC_ERR_INVALID_CHARS) && (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
      return FailedConversion(out, outSize, ERROR_NO_UNICODE_TRANSLATION);
    }
    sim::AppendUtf8(utf8, cp);
  }
  if (outSize == 0) return static_cast<int>(utf8.size());
  if (utf8.size() > static_cast<size_t>(outSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, utf8.data(), utf8.size());
  return static_cast<int>(utf8.size());
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int mbCount, LPWSTR out,
                               int outSize) {
  if (codePage != CP_UTF8 || mb == nullptr || outSize < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (W().utf8ToWideError != 0 && !ConversionPasses(&W().utf8ToWidePasses)) {
    return FailedConversion(out, outSize, W().utf8ToWideError);
  }
  size_t count = mbCount < 0 ? std::strlen(mb) + 1 : static_cast<size_t>(mbCount);
  std::wstring wide;
  bool valid = sim::DecodeUtf8(reinterpret_cast<const uint8_t*>(mb), count, wide);
  if (!valid && (flags & MB_ERR_INVALID_CHARS)) {
    return FailedConversion(out, outSize, ERROR_NO_UNICODE_TRANSLATION);
  }
  if (outSize == 0) return static_cast<int>(wide.size());
  if (wide.size() > static_cast<size_t>(outSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(wide.begin(), wide.end(), out);
  return static_cast<int>(wide.size());
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  if (a == nullptr || b == nullptr) return (a == b) ? 0 : (a == nullptr ? -1 : 1);
  int r = std::strcmp(a, b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int WINAPI lstrlenW(LPCWSTR s) { return s ? static_cast<int>(std::wcslen(s)) : 0; }

int __cdecl _wcsicmp(const wchar_t* a, const wchar_t* b) {
  auto fold = [](wchar_t c) -> uint32_t {
    uint32_t v = static_cast<uint32_t>(c);
    return (v >= 'A' && v <= 'Z') ? v - 'A' + 'a' : v;
  };
  for (;; ++a, ++b) {
    uint32_t x = fold(*a);
    uint32_t y = fold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME st) {
  if (fileTime == nullptr || st == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t ft = (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  if (ft > 0x7FFFFFFFFFFFFFFFull) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t kTicksPerDay = 864000000000ull;
  uint64_t days1601 = ft / kTicksPerDay;
  uint64_t rest = ft % kTicksPerDay;
  // Civil date from a day count (proleptic Gregorian), counted from 1970-01-01.
  int64_t z = static_cast<int64_t>(days1601) - 134774 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  st->wYear = static_cast<WORD>(y + (m <= 2 ? 1 : 0));
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>((days1601 + 1) % 7);  // 1601-01-01 was a Monday
  uint64_t ms = rest / 10000;
  st->wHour = static_cast<WORD>(ms / 3600000);
  st->wMinute = static_cast<WORD>(ms / 60000 % 60);
  st->wSecond = static_cast<WORD>(ms / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(ms % 1000);
  return TRUE;
}

BOOL WINAPI SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
  sim::internal::TraceLine("SHGetSpecialFolderPathW " + std::to_string(csidl) + " " +
                           std::to_string(create));
  if (csidl != CSIDL_COMMON_APPDATA || W().appDataFails || W().appData.size() >= MAX_PATH) {
    return FALSE;
  }
  std::copy(W().appData.begin(), W().appData.end(), path);
  path[W().appData.size()] = L'\0';
  return W().appDataAnswer;
}

BOOL WINAPI PathFileExistsW(LPCWSTR path) {
  if (path == nullptr) return FALSE;
  sim::internal::TraceLine("PathFileExistsW " + sim::Narrow(path));
  if (*path == L'\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (sim::Find(path) == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR filePath, DWORD filePathSize,
                                       DWORD flags) {
  sim::internal::TraceLine("GetFinalPathNameByHandleW");
  auto it = W().handles.find(file);
  if (it == W().handles.end()) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return 0;
  }
  if (W().finalPathError != 0) {
    SetLastError(W().finalPathError);
    return 0;
  }
  if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto entry = W().files.find(it->second.key);
  if (entry == W().files.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  auto answer = W().finalPathAnswers.find(entry->first);
  const std::wstring path =
      answer != W().finalPathAnswers.end() ? answer->second : sim::FinalPathOf(entry->first);
  // Too small: the size needed, terminator included; else the length written.
  if (filePath == nullptr || filePathSize < path.size() + 1) return static_cast<DWORD>(path.size() + 1);
  std::copy(path.begin(), path.end(), filePath);
  filePath[path.size()] = L'\0';
  return static_cast<DWORD>(path.size());
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName == nullptr) return nullptr;  // the executable is not a module here
  auto it = W().systemModules.find(sim::Lower(sim::Narrow(moduleName)));
  if (it == W().systemModules.end() || it->second->refs == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return it->second.get();
}

BOOL WINAPI SetDllDirectoryW(LPCWSTR pathName) {
  sim::internal::TraceLine("SetDllDirectoryW " + (pathName ? "\"" + sim::Narrow(pathName) + "\"" : std::string("(null)")));
  // Only the empty string is modelled: it takes the working directory out; null
  // puts the standard order back.
  W().workingDirSearched = pathName == nullptr;
  return sim::internal::kNonzeroSuccess;
}

BOOL WINAPI SimSetDefaultDllDirectories(DWORD directoryFlags) {
  sim::internal::TraceLine("SetDefaultDllDirectories " + sim::Hex(directoryFlags));
  const DWORD allowed = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                        LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (directoryFlags == 0 || (directoryFlags & ~allowed) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  W().defaultDllDirectories = directoryFlags;
  return TRUE;
}

void* WINAPI SimAddDllDirectory(LPCWSTR) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

// A section of an open file, read-only: the file's size, or `maximumSizeLow`
// bytes of it (a read-only section cannot be larger than its file, nor can an
// empty file have one).
HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name) {
  auto& w = W();
  sim::internal::TraceLine("CreateFileMappingW " + sim::Hex(protect) + " " +
                           std::to_string(maximumSizeLow));
  // The file the handle holds, wherever its names lead now.
  auto it = w.handles.find(file);
  auto held = it == w.handles.end() ? w.files.end() : w.files.find(it->second.key);
  const sim::FileEntry* entry = held == w.files.end() ? nullptr : &held->second;
  if (entry == nullptr || entry->kind != sim::Kind::kFile || w.sections.count(file) != 0) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return nullptr;
  }
  if (protect != PAGE_READONLY || name != nullptr || (it->second.access & GENERIC_READ) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (w.fileMappingError != 0) {
    SetLastError(w.fileMappingError);
    return nullptr;
  }
  const uint64_t length = std::max<uint64_t>(entry->content.size(), entry->sparseLength);
  const uint64_t asked = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  if (length == 0) {
    SetLastError(ERROR_FILE_INVALID);
    return nullptr;
  }
  if (asked > length) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE section = reinterpret_cast<HANDLE>(w.nextHandle);
  w.nextHandle += 4;
  w.handles[section] = {L"<section>", L"<section of " + it->second.path + L">", protect, 0};
  w.sections[section] = entry->id;
  return section;
}

// A view from the section's start (the only offset modelled) holding the
// file's first bytes.
LPVOID WINAPI MapViewOfFile(HANDLE section, DWORD desiredAccess, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T bytes) {
  auto& w = W();
  sim::internal::TraceLine("MapViewOfFile " + sim::Hex(desiredAccess) + " " + std::to_string(bytes));
  auto it = w.sections.find(section);
  if (it == w.sections.end()) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return nullptr;
  }
  if (desiredAccess != FILE_MAP_READ || offsetHigh != 0 || offsetLow != 0 || bytes == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (w.mapViewError != 0) {
    SetLastError(w.mapViewError);
    return nullptr;
  }
  const sim::FileEntry* entry = nullptr;
  for (const auto& [key, file] : w.files) {
    if (file.id == it->second) entry = &file;
  }
  if (entry == nullptr || bytes > entry->content.size()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto view = std::make_unique<sim::World::View>();
  view->file = it->second;
  view->bytes.assign(entry->content.begin(), entry->content.begin() + static_cast<std::ptrdiff_t>(bytes));
  void* base = view->bytes.data();
  w.views[base] = std::move(view);
  return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
  auto it = W().views.find(baseAddress);
  if (it == W().views.end()) {
    sim::Bad();
    SetLastError(487 /* ERROR_INVALID_ADDRESS */);
    return FALSE;
  }
  sim::internal::TraceLine("UnmapViewOfFile");
  W().views.erase(it);
  sim::internal::AfterRelease();
  return TRUE;
}

// Whether two addresses lie in views of one file: a loaded library's module
// (its image) or a view made with MapViewOfFile. The files are compared, not
// their names nor their bytes: another name of the file (a hard link) is the
// same file; a byte-identical copy is not (0xC00000D4, STATUS_NOT_SAME_DEVICE,
// as Wine answers). An address that is neither is 0xC0000141
// (STATUS_INVALID_ADDRESS).
LONG WINAPI SimNtAreMappedFilesTheSame(PVOID first, PVOID second) {
  sim::internal::TraceLine("NtAreMappedFilesTheSame");
  auto fileAt = [](PVOID address) -> uint64_t {
    auto view = W().views.find(address);
    if (view != W().views.end()) return view->second->file;
    for (const auto& [key, entry] : W().files) {
      if (entry.library && entry.library.get() == address && entry.library->refs > 0) {
        return entry.library->file;
      }
    }
    return 0;
  };
  if (W().sameFileAnswered) return W().sameFileAnswer;
  const uint64_t a = fileAt(first);
  const uint64_t b = fileAt(second);
  if (a == 0 || b == 0) return static_cast<LONG>(0xC0000141);
  return a == b ? 0 : static_cast<LONG>(0xC00000D4);
}

UINT WINAPI SetErrorMode(UINT mode) {
  sim::internal::TraceLine("SetErrorMode " + sim::Hex(mode));
  UINT previous = W().errorMode;
  W().errorMode = mode;
  return previous;
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  sim::internal::TraceLine("SetUnhandledExceptionFilter");
  LPTOP_LEVEL_EXCEPTION_FILTER previous = W().filter;
  W().filter = filter;
  return previous;
}

HANDLE WINAPI GetStdHandle(DWORD stdHandle) {
  return stdHandle == STD_OUTPUT_HANDLE ? W().stdOutput : INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetStdHandle(DWORD stdHandle, HANDLE handle) {
  sim::internal::TraceLine("SetStdHandle");
  if (stdHandle != STD_OUTPUT_HANDLE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  W().stdOutput = handle;
  return sim::internal::kNonzeroSuccess;
}

BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                            HANDLE* target, DWORD, BOOL inheritHandle, DWORD options) {
  auto& w = W();
  sim::internal::TraceLine("DuplicateHandle inherit " + std::to_string(inheritHandle != FALSE));
  auto it = w.streams.find(source);
  if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() ||
      target == nullptr || options != DUPLICATE_SAME_ACCESS || it == w.streams.end()) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  if (w.duplicateError != 0 && w.duplicatePasses == 0) {
    SetLastError(w.duplicateError);
    return FALSE;
  }
  if (w.duplicatePasses != 0) --w.duplicatePasses;
  *target = reinterpret_cast<HANDLE>(w.nextHandle);
  w.nextHandle += 4;
  w.streams[*target] = {it->second.nul, inheritHandle != FALSE, it->second.readOnly};
  return TRUE;
}

BOOL WINAPI SetHandleInformation(HANDLE object, DWORD mask, DWORD flags) {
  auto it = W().streams.find(object);
  if (it == W().streams.end()) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  if (mask & HANDLE_FLAG_INHERIT) it->second.inherit = (flags & HANDLE_FLAG_INHERIT) != 0;
  return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL initialState, LPCWSTR) {
  auto& w = W();
  if (w.eventError != 0) {
    SetLastError(w.eventError);
    return nullptr;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(w.nextHandle);
  w.nextHandle += 4;
  w.handles[handle] = {L"<event>", L"<event>", 0, 0};
  w.events[handle] = initialState != FALSE;
  return handle;
}

BOOL WINAPI SetEvent(HANDLE event) {
  auto it = W().events.find(event);
  if (it == W().events.end()) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  it->second = true;
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  auto& w = W();
  sim::internal::TraceLine("WaitForSingleObject " + std::to_string(milliseconds));
  if (w.events.count(object) == 0) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return WAIT_FAILED;
  }
  if (!w.events[object] && !w.threadsHeld) {
    // Threads that have not started get their turn; one that parks or ends
    // gives it back. (Copied: a thread may make threads of its own.)
    std::vector<std::shared_ptr<sim::SimThread>> waiting = w.threads;
    for (auto& thread : waiting) {
      if (thread->state == sim::SimThread::kNew) sim::Step(*thread);
    }
    w.threads.erase(std::remove_if(w.threads.begin(), w.threads.end(),
                                   [](const auto& thread) { return thread->state == sim::SimThread::kDone; }),
                    w.threads.end());
  }
  return w.events[object] ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

int __cdecl _open(const char* path, int flags, ...) {
  auto& w = W();
  if (path == nullptr || std::strcmp(path, "NUL") != 0 || w.nulFails) return -1;
  HANDLE handle = reinterpret_cast<HANDLE>(w.nextHandle);
  w.nextHandle += 4;
  w.streams[handle] = {true, (flags & _O_NOINHERIT) == 0, (flags & _O_WRONLY) == 0};
  int descriptor = 3;
  while (w.descriptors.count(descriptor) != 0) ++descriptor;
  w.descriptors[descriptor] = handle;
  return descriptor;
}

// A descriptor that is not open, handed to _close or _dup2, is an invalid
// parameter: the C runtime's default handler ends the process there.
static void InvalidCrtParameter() {
  sim::internal::TraceLine("invalid parameter");
  TerminateProcess(GetCurrentProcess(), 0xC0000417 /* STATUS_INVALID_CRUNTIME_PARAMETER */);
}

int __cdecl _close(int descriptor) {
  auto& w = W();
  auto it = w.descriptors.find(descriptor);
  if (it == w.descriptors.end()) {
    InvalidCrtParameter();
    return -1;
  }
  CloseHandle(it->second);
  w.descriptors.erase(it);
  if (descriptor == 1 && !w.dupLeavesStandardHandle) w.stdOutput = nullptr;
  return 0;
}

int __cdecl _dup2(int from, int to) {
  auto& w = W();
  sim::internal::TraceLine("_dup2 " + std::to_string(from) + " " + std::to_string(to));
  auto it = w.descriptors.find(from);
  HANDLE copy = nullptr;
  if (it == w.descriptors.end()) {
    InvalidCrtParameter();
    return -1;
  }
  if (!DuplicateHandle(GetCurrentProcess(), it->second, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return -1;
  }
  if (w.descriptors.count(to) != 0) _close(to);
  w.descriptors[to] = copy;
  if (to == 1 && !w.dupLeavesStandardHandle) w.stdOutput = copy;
  return 0;
}

intptr_t __cdecl _get_osfhandle(int descriptor) {
  auto it = W().descriptors.find(descriptor);
  return it == W().descriptors.end() ? -1 : reinterpret_cast<intptr_t>(it->second);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, void*) {
  // Set before any work or check, as WriteFile does.
  if (bytesWritten != nullptr) *bytesWritten = 0;
  auto stream = W().streams.find(file);
  if (stream == W().streams.end() || buffer == nullptr) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  if (stream->second.readOnly) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (stream->second.nul) {
    if (bytesWritten != nullptr) *bytesWritten = bytesToWrite;
    return TRUE;
  }
  if (W().outputError != 0) {
    SetLastError(W().outputError);
    return FALSE;
  }
  const DWORD taken = bytesToWrite < W().outputRoom ? bytesToWrite : W().outputRoom;
  // The launcher's read of a pipe returns nothing for a write of nothing, and
  // it takes that for the end of the output.
  if (bytesToWrite == 0) W().outputEnded = true;
  if (!W().outputEnded) W().standardOutput.append(static_cast<const char*>(buffer), taken);
  if (bytesWritten != nullptr) *bytesWritten = taken + (W().outputOverstated ? 1 : 0);
  return TRUE;
}

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
  auto& w = W();
  sim::internal::TraceLine("CreateThread " + std::to_string(stackSize) + " " + sim::Hex(flags));
  if (w.threadError != 0 || start == nullptr) {
    SetLastError(w.threadError != 0 ? w.threadError : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<sim::SimThread>();
  thread->start = start;
  thread->parameter = parameter;
  w.threads.push_back(thread);
  if (threadId != nullptr) *threadId = static_cast<DWORD>(w.threads.size());
  HANDLE handle = reinterpret_cast<HANDLE>(w.nextHandle++);
  w.handles[handle] = {L"<thread>", L"<thread>", 0, 0};
  return handle;
}

VOID WINAPI Sleep(DWORD milliseconds) {
  sim::internal::TraceLine("Sleep " + std::to_string(milliseconds));
  sim::SimThread* self = sim::t_currentThread;
  if (self == nullptr) return;
  std::unique_lock<std::mutex> lock(self->lock);
  self->state = sim::SimThread::kParked;
  self->changed.notify_all();
  self->changed.wait(lock, [self] { return self->state == sim::SimThread::kRunning; });
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
  if (process != GetCurrentProcess()) {
    SetLastError(6 /* ERROR_INVALID_HANDLE */);
    return FALSE;
  }
  sim::internal::TraceLine("TerminateProcess " + std::to_string(exitCode));
  // The simulation goes on; the test reads the code the process ended with.
  if (W().exitCode < 0) W().exitCode = static_cast<long>(exitCode);
  return TRUE;
}
