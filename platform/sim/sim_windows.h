// The Windows surface the probe uses, declared for the simulated Windows that
// the host build links against. Names, field names and values follow the
// Windows SDK so that the logic reads and compiles the same on both sides.
// Only what the probe touches is here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

#define WINAPI
#define __cdecl
#define __stdcall
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORDLONG;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef void VOID;
typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef BYTE* PBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
// Windows' WCHAR is UTF-16. The host's wchar_t is wider; the logic only ever
// counts in characters and sizes buffers with sizeof(WCHAR), so it is
// indifferent to the width.
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef int32_t HRESULT;

typedef void* HANDLE;
typedef HANDLE HLOCAL;
struct SimModule;
typedef SimModule* HMODULE;
typedef HMODULE HINSTANCE;
struct SimWindow;
typedef SimWindow* HWND;
typedef int(WINAPI* FARPROC)();

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(0xFFFFFFFF))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_ARGUMENTS 160L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_NO_DATA 232L
#define ERROR_FILE_INVALID 1006L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

#define FILE_NAME_NORMALIZED 0x0
#define VOLUME_NAME_DOS 0x0

#define PAGE_READONLY 0x02
#define FILE_MAP_READ 0x0004

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3

#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#define LOAD_LIBRARY_SEARCH_USER_DIRS 0x00000400
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000

#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOGPFAULTERRORBOX 0x0002
#define SEM_NOOPENFILEERRORBOX 0x8000

#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define EXCEPTION_EXECUTE_HANDLER 1

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define CP_UTF8 65001
#define WC_ERR_INVALID_CHARS 0x00000080
#define MB_ERR_INVALID_CHARS 0x00000008

#define VER_BUILDNUMBER 0x0000004
#define VER_GREATER_EQUAL 3

#define CSIDL_COMMON_APPDATA 0x0023

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _EXCEPTION_POINTERS {
  void* ExceptionRecord;
  void* ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;
typedef LONG(WINAPI* LPTOP_LEVEL_EXCEPTION_FILTER)(PEXCEPTION_POINTERS exceptionInfo);

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

// kernel32 / C runtime
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size);
HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);
DWORD WINAPI GetFileAttributesW(LPCWSTR fileName);
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI CloseHandle(HANDLE object);
DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR filePath, DWORD filePathSize,
                                       DWORD flags);
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
// Sections and views of open files: read-only ones only.
HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE section, DWORD desiredAccess, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T bytes);
BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress);
BOOL WINAPI SetDllDirectoryW(LPCWSTR pathName);
UINT WINAPI SetErrorMode(UINT mode);
LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);
HANDLE WINAPI GetStdHandle(DWORD stdHandle);
BOOL WINAPI SetStdHandle(DWORD stdHandle, HANDLE handle);
#define DUPLICATE_SAME_ACCESS 0x00000002
BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                            HANDLE* target, DWORD desiredAccess, BOOL inheritHandle,
                            DWORD options);
#define HANDLE_FLAG_INHERIT 0x00000001
BOOL WINAPI SetHandleInformation(HANDLE object, DWORD mask, DWORD flags);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL
// On an event that is not set, the threads made and not yet started run first,
// each until it sleeps or ends, as a scheduler would let them.
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      void* overlapped);
HANDLE WINAPI GetCurrentProcess();
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
// Records the thread; it starts when the caller waits for an event, or when a
// test calls sim::RunThreads(). It runs on a thread of its own, in lockstep
// with its creator: one of the two runs at a time.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId);
// Returns at once on the first thread; a thread made with CreateThread waits
// there until sim::RunThreads(). The trace records the time asked for.
VOID WINAPI Sleep(DWORD milliseconds);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL mem);
UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size);
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition);
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW versionInfo, DWORD typeMask,
                               DWORDLONG conditionMask);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideStr, int wideCount,
                               LPSTR multiByteStr, int multiByteCount, LPCSTR defaultChar,
                               LPBOOL usedDefaultChar);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr,
                               int multiByteCount, LPWSTR wideStr, int wideCount);
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b);
int WINAPI lstrlenW(LPCWSTR s);
BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  int64_t QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define ERROR_HANDLE_EOF 38L
#define ERROR_FILE_TOO_LARGE 223L

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped);
BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
int __cdecl _wcsicmp(const wchar_t* a, const wchar_t* b);

// The C runtime's descriptors (io.h, fcntl.h), as Wine 8's msvcrt keeps them:
// descriptor 1 holds the standard output handle itself. Only "NUL" opens.
#define _O_WRONLY 0x0001
#define _O_BINARY 0x8000
#define _O_NOINHERIT 0x0080
int __cdecl _open(const char* path, int flags, ...);
int __cdecl _close(int descriptor);
// Duplicates from's handle (inheritable), closes what `to` held and puts the
// duplicate there; for descriptor 1 the standard output handle follows.
int __cdecl _dup2(int from, int to);
intptr_t __cdecl _get_osfhandle(int descriptor);

// shell32 / shlwapi
BOOL WINAPI SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);
BOOL WINAPI PathFileExistsW(LPCWSTR path);

// The C runtime heap, behind a door of its own so that the simulation can count
// and fail allocations without touching the host's malloc.
void* CrtAlloc(size_t bytes);
void CrtFree(void* block);

// ---------------------------------------------------------------- crypt32

typedef void* HCERTSTORE;
typedef void* HCRYPTMSG;
typedef void* HCERTCHAINENGINE;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

#define CRYPT_E_NO_MATCH static_cast<HRESULT>(0x80092009UL)
#define CRYPT_E_NOT_FOUND static_cast<HRESULT>(0x80092004UL)
#define CRYPT_E_ASN1_BADTAG static_cast<HRESULT>(0x8009310BUL)
#define CRYPT_E_BAD_ENCODE static_cast<HRESULT>(0x80092002UL)
#define CRYPT_E_UNEXPECTED_MSG_TYPE static_cast<HRESULT>(0x8009200AUL)
#define CRYPT_E_INVALID_MSG_TYPE static_cast<HRESULT>(0x80091004UL)
#define CRYPT_E_FILE_ERROR static_cast<HRESULT>(0x80092003UL)
#define CERT_E_EXPIRED static_cast<HRESULT>(0x800B0101UL)
#define CERT_E_UNTRUSTEDROOT static_cast<HRESULT>(0x800B0109UL)
#define CERT_E_CHAINING static_cast<HRESULT>(0x800B010AUL)
#define TRUST_E_TIME_STAMP static_cast<HRESULT>(0x80096005UL)
#define TRUST_E_CERT_SIGNATURE static_cast<HRESULT>(0x80096004UL)
#define TRUST_E_NOSIGNATURE static_cast<HRESULT>(0x800B0100UL)
#define TRUST_E_BAD_DIGEST static_cast<HRESULT>(0x80096010UL)
#define TRUST_E_SUBJECT_NOT_TRUSTED static_cast<HRESULT>(0x800B0004UL)

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

#define CERT_QUERY_OBJECT_FILE 0x00000001
#define CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED 10
#define CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED (1 << CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED)
#define CERT_QUERY_FORMAT_BINARY 1
#define CERT_QUERY_FORMAT_FLAG_BINARY (1 << CERT_QUERY_FORMAT_BINARY)

#define CMSG_SIGNER_INFO_PARAM 6

#define CERT_STORE_PROV_MSG (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(1)))
#define CERT_STORE_SIGNATURE_FLAG 0x00000001

#define CERT_COMPARE_SHIFT 16
#define CERT_COMPARE_SUBJECT_CERT 11
#define CERT_FIND_SUBJECT_CERT (CERT_COMPARE_SUBJECT_CERT << CERT_COMPARE_SHIFT)

#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_ISSUER_FLAG 0x1

#define PKCS_CONTENT_INFO (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(33)))
#define PKCS7_SIGNER_INFO (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(500)))
#define CRYPT_DECODE_ALLOC_FLAG 0x8000

#define HCCE_LOCAL_MACHINE (reinterpret_cast<HCERTCHAINENGINE>(static_cast<uintptr_t>(1)))
#define USAGE_MATCH_TYPE_AND 0x00000000

#define szOID_RSA_signingTime "1.2.840.113549.1.9.5"
#define szOID_RSA_counterSign "1.2.840.113549.1.9.6"
#define szOID_RFC3161_counterSign "1.3.6.1.4.1.311.3.3.1"
#define szOID_NESTED_SIGNATURE "1.3.6.1.4.1.311.2.4.1"
#define szOID_PKCS_7_SIGNED "1.2.840.113549.1.7.2"

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, CRYPT_DER_BLOB,
    CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES, *PCRYPT_ATTRIBUTES;

typedef struct _CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
} CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;

typedef struct _CRYPT_CONTENT_INFO {
  LPSTR pszObjId;
  CRYPT_DER_BLOB Content;
} CRYPT_CONTENT_INFO, *PCRYPT_CONTENT_INFO;

typedef struct _CRYPT_DECODE_PARA* PCRYPT_DECODE_PARA;
typedef struct _CMSG_STREAM_INFO* PCMSG_STREAM_INFO;

// Chain building flags.
#define CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL 0x00000004
#define CERT_CHAIN_DISABLE_AIA 0x00002000
#define CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE 0x00000100

// Chain trust status bits (CERT_TRUST_STATUS).
#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_REVOKED 0x00000004
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_REVOCATION_STATUS_UNKNOWN 0x00000040
#define CERT_TRUST_IS_CYCLIC 0x00000080
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000
#define CERT_TRUST_HAS_EXACT_MATCH_ISSUER 0x00000001
#define CERT_TRUST_HAS_KEY_MATCH_ISSUER 0x00000002
#define CERT_TRUST_HAS_NAME_MATCH_ISSUER 0x00000004
#define CERT_TRUST_IS_SELF_SIGNED 0x00000008

typedef struct _CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
} CERT_TRUST_STATUS;

typedef struct _CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  void* pRevocationInfo;
  void* pIssuanceUsage;
  void* pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
} CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;

typedef struct _CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;
  void* pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
} CERT_SIMPLE_CHAIN, *PCERT_SIMPLE_CHAIN;

typedef struct _CERT_CHAIN_CONTEXT CERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
struct _CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
  DWORD cLowerQualityChainContext;
  PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
};

typedef struct _CTL_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
} CTL_USAGE, CERT_ENHKEY_USAGE;

typedef struct _CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
} CERT_USAGE_MATCH;

typedef struct _CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
} CERT_CHAIN_PARA, *PCERT_CHAIN_PARA;

BOOL WINAPI CryptMsgClose(HCRYPTMSG msg);
BOOL WINAPI CertCloseStore(HCERTSTORE store, DWORD flags);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT cert);
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE store, DWORD certEncodingType,
                                                 DWORD findFlags, DWORD findType,
                                                 const void* findPara,
                                                 PCCERT_CONTEXT prevCert);
BOOL WINAPI CryptMsgGetParam(HCRYPTMSG msg, DWORD paramType, DWORD index, void* data,
                             DWORD* dataSize);
BOOL WINAPI CryptQueryObject(DWORD objectType, const void* object, DWORD expectedContentTypeFlags,
                             DWORD expectedFormatTypeFlags, DWORD flags,
                             DWORD* msgAndCertEncodingType, DWORD* contentType,
                             DWORD* formatType, HCERTSTORE* certStore, HCRYPTMSG* msg,
                             const void** context);
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT cert, DWORD type, DWORD flags, void* typePara,
                                LPWSTR nameString, DWORD nameStringSize);
HCRYPTMSG WINAPI CryptMsgOpenToDecode(DWORD msgEncodingType, DWORD flags, DWORD msgType,
                                      HCRYPTPROV_LEGACY cryptProv, PCERT_INFO recipientInfo,
                                      PCMSG_STREAM_INFO streamInfo);
BOOL WINAPI CryptMsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD dataSize, BOOL final);
BOOL WINAPI CryptDecodeObjectEx(DWORD certEncodingType, LPCSTR structType, const BYTE* encoded,
                                DWORD encodedSize, DWORD flags, PCRYPT_DECODE_PARA decodePara,
                                void* structInfo, DWORD* structInfoSize);
PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(HCERTSTORE store,
                                                        PCCERT_CONTEXT subject,
                                                        PCCERT_CONTEXT prevIssuer,
                                                        DWORD* flags);
HCERTSTORE WINAPI CertOpenStore(LPCSTR storeProvider, DWORD encodingType,
                                HCRYPTPROV_LEGACY cryptProv, DWORD flags, const void* para);
BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert,
                                    LPFILETIME time, HCERTSTORE additionalStore,
                                    PCERT_CHAIN_PARA chainPara, DWORD flags, LPVOID reserved,
                                    PCCERT_CHAIN_CONTEXT* chainContext);
VOID WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chainContext);
LONG WINAPI CertVerifyTimeValidity(LPFILETIME timeToVerify, PCERT_INFO certInfo);

#define CMSG_CONTENT_PARAM 2
#define CMSG_INNER_CONTENT_TYPE_PARAM 4
#define CMSG_CTRL_VERIFY_SIGNATURE_EX 19
#define CMSG_VERIFY_SIGNER_CERT 2

typedef struct _CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA {
  DWORD cbSize;
  HCRYPTPROV_LEGACY hCryptProv;
  DWORD dwSignerIndex;
  DWORD dwSignerType;
  void* pvSigner;
} CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA, *PCMSG_CTRL_VERIFY_SIGNATURE_EX_PARA;

BOOL WINAPI CryptMsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara);

#define CERT_CHAIN_POLICY_AUTHENTICODE (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(2)))
#define TRUST_E_CERT_SIGNATURE static_cast<HRESULT>(0x80096004UL)
#define NTE_BAD_SIGNATURE static_cast<HRESULT>(0x80090006UL)
#define NTE_BAD_ALGID static_cast<HRESULT>(0x80090008UL)

typedef struct _CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;
} CERT_CHAIN_POLICY_PARA, *PCERT_CHAIN_POLICY_PARA;

typedef struct _CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  LONG lChainIndex;
  LONG lElementIndex;
  void* pvExtraPolicyStatus;
} CERT_CHAIN_POLICY_STATUS, *PCERT_CHAIN_POLICY_STATUS;

BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR policyOid, PCCERT_CHAIN_CONTEXT chainContext,
                                             PCERT_CHAIN_POLICY_PARA policyPara,
                                             PCERT_CHAIN_POLICY_STATUS policyStatus);

#define szOID_RSA_messageDigest "1.2.840.113549.1.9.4"
#define szOID_RSA_contentType "1.2.840.113549.1.9.3"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_NIST_sha256 "2.16.840.1.101.3.4.2.1"
#define szOID_PKIX_KP_CODE_SIGNING "1.3.6.1.5.5.7.3.3"

// ---------------------------------------------------------------- advapi32 hashing

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000UL
#define CALG_SHA1 0x00008004
#define CALG_SHA_256 0x0000800c
#define HP_HASHVAL 0x0002

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider,
                                 DWORD provType, DWORD flags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
BOOL WINAPI CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                            HCRYPTHASH* hash);
BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD dataSize, DWORD flags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataSize,
                              DWORD flags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash);

// ---------------------------------------------------------------- wintrust

#define SPC_INDIRECT_DATA_OBJID "1.3.6.1.4.1.311.2.1.4"
#define SPC_PE_IMAGE_DATA_OBJID "1.3.6.1.4.1.311.2.1.15"
#define SPC_INDIRECT_DATA_CONTENT_STRUCT (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(2003)))

typedef struct _CRYPT_ATTRIBUTE_TYPE_VALUE {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Value;
} CRYPT_ATTRIBUTE_TYPE_VALUE;

typedef struct _SPC_INDIRECT_DATA_CONTENT {
  CRYPT_ATTRIBUTE_TYPE_VALUE Data;
  CRYPT_ALGORITHM_IDENTIFIER DigestAlgorithm;
  CRYPT_HASH_BLOB Digest;
} SPC_INDIRECT_DATA_CONTENT, *PSPC_INDIRECT_DATA_CONTENT;

#define WTD_UI_NONE 2
#define WTD_REVOKE_WHOLECHAIN 0x00000001
#define WTD_CHOICE_FILE 1
#define WTD_STATEACTION_IGNORE 0x00000000
#define WTD_CACHE_ONLY_URL_RETRIEVAL 0x00001000

#define WINTRUST_ACTION_GENERIC_VERIFY_V2                                          \
  {                                                                                \
    0xaac56b, 0xcd44, 0x11d0, { 0x8c, 0xc2, 0x0, 0xc0, 0x4f, 0xc2, 0x95, 0xee } \
  }

typedef struct WINTRUST_FILE_INFO_ {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;
  GUID* pgKnownSubject;
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

typedef struct _WINTRUST_DATA {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  union {
    struct WINTRUST_FILE_INFO_* pFile;
    void* pCatalog;
    void* pBlob;
    void* pSgnr;
    void* pCert;
  };
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void* pSignatureSettings;
} WINTRUST_DATA, *PWINTRUST_DATA;

LONG WINAPI WinVerifyTrust(HWND window, GUID* actionId, LPVOID data);
