// Arranging and inspecting the simulated Windows. Tests build a small world
// (an executable at some path, files, libraries with exports, a system
// directory), run the logic against it, and read back what was acquired,
// released and called.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_windows.h"

namespace sim {

// Default world after Reset():
//   executable      C:\Program Files\Launcher\platform_probe.exe
//   common appdata  C:\ProgramData (query succeeds)
//   system dir      C:\Windows\system32, OS build 19045
//   system modules  crypt32.dll, cryptnet.dll, cryptbase.dll, wintrust.dll,
//                   shell32.dll, shlwapi.dll, imagehlp.dll in the system
//                   directory, exporting
//                   what the simulated world provides; kernel32.dll resident
//                   from the start, exporting the loader's search-path calls
//                   (SetDefaultDllDirectories, AddDllDirectory); ntdll.dll
//                   resident too, exporting NtAreMappedFilesTheSame
//   working dir     none; the DLL search is the standard one
//   no other files, no allocation failures, last error 0, all counters zero.
void Reset();

// ---- the executable and folders
void SetExecutablePath(const std::wstring& path);
// GetModuleFileNameW fails outright (returns 0) with this last error. What a
// failed call leaves in the buffer is not defined; here it is a decoy path
// (C:\Decoy\platform_probe.exe), so that code trusting it shows.
void FailModuleFileName(DWORD error);
void SetCommonAppDataFolder(const std::wstring& path);
void FailCommonAppDataFolder();
// The folder query fills in the folder and answers this instead of TRUE.
void AnswerCommonAppDataFolder(BOOL answer);

// ---- files. Paths are compared without regard to case; '/' and '\' are the
// same separator.
void AddFile(const std::wstring& path, std::vector<uint8_t> content = {},
             DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
void AddDirectory(const std::wstring& path);
void AddDevice(const std::wstring& path);
void RemoveFile(const std::wstring& path);
// A junction: a directory at `link` whose every lookup continues at `target`.
// Its owner may point it elsewhere at any moment (call AddJunction again), and
// nothing held through it stops that.
void AddJunction(const std::wstring& link, const std::wstring& target);
// Renames a directory and everything below it, as another process may. Fails
// (returns false) while anyone holds the directory itself open without
// FILE_SHARE_DELETE; open files below it do not stop it.
bool MoveDirectory(const std::wstring& from, const std::wstring& to);
// Runs `action` once, at the moment the first trace line that starts with
// `prefix` is written: what an opportunistic lock tells another process.
void WhenTraced(const std::string& prefix, std::function<void()> action);
bool FileExists(const std::wstring& path);
const std::vector<uint8_t>* FileContent(const std::wstring& path);

// A loadable library: a file that LoadLibraryExW maps into a module whose named
// exports are the functions given here.
// A new file holds two bytes, "MZ"; an existing one keeps its bytes.
struct Export {
  std::string name;
  void* function;
};
template <typename Fn>
Export MakeExport(std::string name, Fn fn) {
  return Export{std::move(name), reinterpret_cast<void*>(fn)};
}
void AddLibrary(const std::wstring& path, std::vector<Export> exports);
// LoadLibraryExW on this file fails with this last error (after the file test).
void FailLibraryLoad(const std::wstring& path, DWORD error);
// DLL redirection (a .local folder, an activation context): asked for `path`,
// the loader maps the library at `to`, and the module's file name says so.
void RedirectLibrary(const std::wstring& path, const std::wstring& to);
// GetFinalPathNameByHandleW fails with this last error.
void FailFinalPath(DWORD error);
// GetFinalPathNameByHandleW answers `answer` for a handle on the file at
// `path`, whatever the file is called (a system that spells final paths its
// own way); sizes and failures as for any other answer.
void AnswerFinalPath(const std::wstring& path, const std::wstring& answer);
// Another name of the file at `existing` (a hard link): the same file, so the
// platform's "same mapped file" answer says so for images and views made
// through either name. Its bytes and exports are the file's as they are now.
void AddHardLink(const std::wstring& link, const std::wstring& existing);
// CreateFileMappingW, or MapViewOfFile, fails with this last error from now on.
void FailFileMapping(DWORD error);
void FailMapView(DWORD error);
// NtAreMappedFilesTheSame answers this status from now on, whatever it is
// asked.
void AnswerMappedFilesTheSame(LONG status);

// ---- the process: its working directory, DLL search, error mode, exception
// filter, standard output and end.
void SetWorkingDirectory(const std::wstring& path);
UINT ErrorMode();
LPTOP_LEVEL_EXCEPTION_FILTER ExceptionFilter();
// The bytes that reached the process's real standard output (a pipe the
// launcher reads), through any handle to it; what goes to NUL is dropped. A
// write of no bytes reads as the end there: nothing written after it is read.
const std::string& StandardOutput();
// What a runtime library can write through: the standard output handle it gets
// from GetStdHandle, and a C runtime descriptor it shares with the probe.
// False when the write fails.
bool WriteThroughStandardHandle(const std::string& text);
bool WriteThroughDescriptor(int descriptor, const std::string& text);
// Open handles to the real standard output that a child process would inherit.
size_t InheritableOutputHandles();
// DuplicateHandle succeeds `passes` more times, then fails with this last
// error from then on; NUL cannot be opened.
void FailHandleDuplication(DWORD error, unsigned passes = 0);
void FailNulOpen();
// A C runtime whose descriptor 1 holds a duplicate of its own, taken at start,
// and whose _dup2 and _close leave the standard output handle alone (Wine 8's
// msvcrt shares the handle and moves it; Windows' was not measured).
void CrtHoldsItsOwnOutputHandle();
// CreateEventW fails with this last error; threads made from now on never get
// to run at a wait (a system too starved to schedule them).
void FailEventCreation(DWORD error);
void HoldNewThreads();
// The standard output is a pipe that takes at most `room` bytes a write (0: it
// is full, and WriteFile succeeds having written nothing, as on a pipe in
// no-wait mode); or it is closed, and WriteFile fails with `error`.
void LimitStandardOutput(DWORD room);
void FailStandardOutput(DWORD error);
// The exit code TerminateProcess was given, or -1 while the process runs.
long ExitCode();
// Threads made with CreateThread: "CreateThread <stack size> <flags>" is
// traced; CreateThread fails with this last error from now on.
void FailThreadCreation(DWORD error);
// Runs every thread made and not yet ended (started or not), in order, to its
// end; returns how many ran.
size_t RunThreads();
// WriteFile to the standard output reports a byte more written than it took.
void OverstateStandardOutput();
// (A descriptor that is not open, handed to _close or _dup2, ends the process
// with 0xC0000417, as the C runtime's default invalid-parameter handler does.)

// Another process holds the file open with this access and share mode.
void HoldOpenElsewhere(const std::wstring& path, DWORD access, DWORD shareMode);
// CreateFileW on this file fails with this last error (access denied by its
// security descriptor, a lock, a disk that went away: not only sharing).
void FailFileOpen(const std::wstring& path, DWORD error);

// An open handle the probe holds on a file, as seen at the moment of asking.
struct OpenFile {
  std::wstring path;
  DWORD access;
  DWORD shareMode;
};
std::vector<OpenFile> OpenFilesOf(const std::wstring& path);

// ---- system modules and the operating system
void SetSystemBuild(DWORD buildNumber);
void SetSystemDirectory(const std::wstring& path);
// The first (size) or second (fill) GetSystemDirectoryW query returns 0 with
// this last error.
void FailSystemDirectorySizeQuery(DWORD error);
void FailSystemDirectoryFillQuery(DWORD error);
// The directory grows by this many characters between the two queries.
void GrowSystemDirectoryBetweenQueries(unsigned extraCharacters);
// Adds or replaces an export of a system module (name like "crypt32.dll").
void SetSystemExport(const std::string& module, const std::string& name, void* function);
void HideSystemExport(const std::string& module, const std::string& name);
// Loading this system module fails with this last error; it stays missing until
// RestoreSystemModule.
void FailSystemModule(const std::string& module, DWORD error);
void RestoreSystemModule(const std::string& module);

// What VerifyVersionInfoW was asked, call by call.
struct VersionQuery {
  DWORD infoSize;  // dwOSVersionInfoSize
  DWORD majorVersion;
  DWORD minorVersion;
  DWORD buildNumber;
  WORD servicePackMajor;
  BYTE productType;
  DWORD typeMask;
  ULONGLONG conditionMask;
};
const std::vector<VersionQuery>& VersionQueries();

// ---- code pages: the fromCall-th UTF-16 -> UTF-8 (or UTF-8 -> UTF-16)
// conversion from now (1 = the next one) and every later one fail with this
// last error. A failed conversion, this one or one of invalid text, leaves a
// decoy path (C:\D\StpRuntimeSdk.dll) in the output when it fits: what
// a failed call writes is not defined.
void FailWideToUtf8(DWORD error, unsigned fromCall = 1);
void FailUtf8ToWide(DWORD error, unsigned fromCall = 1);

// ---- the last-error value. Releases that succeed (LocalFree, CloseHandle,
// FreeLibrary, CertFreeCertificateContext, CertFreeCertificateChain,
// CertCloseStore, CryptMsgClose) leave it alone by default, apart from
// CloseHandle, which clears it. Once this is called every such release sets it
// to `value`, as some systems' releases do: code that needs its value past a
// release has to keep it.
void ClobberLastErrorOnRelease(DWORD value);

// ---- file reads: the n-th ReadFile from now (1 = the next one) answers
// otherwise than with the file's bytes, once; the reads before and after it do not.
enum class ReadAnswer {
  kFails,          // FALSE, ERROR_IO_DEVICE, nothing read (a disk that went away)
  kShortByOne,     // a byte fewer than the file has there (a byte at least)
  kNothing,        // TRUE with no bytes before the end of the file
  kMoreThanAsked,  // the bytes asked for, but *bytesRead one more than asked
};
void AnswerFileRead(unsigned nth, ReadAnswer answer);
// The file is sparse and `length` bytes long (GetFileSizeEx says so, past 4
// GiB too); the bytes after its content read as zeros.
void SetSparseLength(const std::wstring& path, uint64_t length);
// GetFileSizeEx fails with this last error from now on. What it leaves in
// *size is no size to trust: here the file's length all the same.
void FailFileSize(DWORD error);

// ---- heaps: the n-th allocation from now (1 = the next one) fails.
void FailCrtAllocation(unsigned nth);
void FailLocalAllocation(unsigned nth);

// ---- what happened
struct Counters {
  int crtBlocks;       // C runtime blocks alive
  int localBlocks;     // local-heap blocks alive
  int fileHandles;     // file handles the probe holds
  int moduleRefs;      // references to non-system modules the probe holds
  int systemModuleRefs;
  int messages;        // crypt messages alive
  int stores;          // certificate stores alive
  int certContexts;    // certificate contexts the probe holds
  int chainContexts;   // chain contexts alive
  int hashObjects;     // CryptoAPI providers and hashes alive
  int views;           // views of files mapped (MapViewOfFile)
  int badReleases;     // releases of something not held (double free, unknown handle)
};
Counters Live();
// Everything the probe acquired has been released, apart from system modules
// (kept for the life of the process) and the given number of non-system module
// references (for example the client library, which stays loaded).
bool AllReleased(int keptModuleRefs = 0);

// Operations in call order, one line each, for example
//   "LoadLibraryExW C:\Windows\system32\crypt32.dll 0x0"
//   "GetProcAddress crypt32.dll CryptMsgClose"
//   "VerifyVersionInfoW 9200"  "VerSetConditionMask"  "GetSystemDirectoryW 0"
//   "CreateFileW <path> 0x80000000 0x1"  "CloseHandle <path>"  "FreeLibrary <path>"
//   "GetFileAttributesW <path>"  "PathFileExistsW <path>"
// Other parts of the world may add their own lines.
const std::vector<std::string>& Trace();
void ClearTrace();
size_t CountTrace(const std::string& prefix);
// Every path that LoadLibraryExW mapped (non-system modules and system modules
// alike), in order.
const std::vector<std::wstring>& MappedPaths();

// How many ReadFile calls the probe made on its handles.
unsigned FileReads();

// Narrow and wide text for messages and traces.
std::string Narrow(const std::wstring& text);

}  // namespace sim
