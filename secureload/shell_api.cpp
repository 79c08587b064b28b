#include "secureload/shell_api.h"

#include "secureload/system_library.h"

bool BindShellApi() {
  SystemLibraryCache& cache = g_systemLibraryCache;
  if (cache.shell32 == nullptr) cache.shell32 = LoadSystemLibrary(L"shell32.dll");
  if (cache.shlwapi == nullptr) cache.shlwapi = LoadSystemLibrary(L"shlwapi.dll");
  if (cache.shell32 == nullptr || cache.shlwapi == nullptr) return false;
  if (g_shellApi.SHGetSpecialFolderPathW == nullptr) {
    g_shellApi.SHGetSpecialFolderPathW = ProcAs<decltype(g_shellApi.SHGetSpecialFolderPathW)>(
        GetProcAddress(cache.shell32, "SHGetSpecialFolderPathW"));
  }
  if (g_shellApi.PathFileExistsW == nullptr) {
    g_shellApi.PathFileExistsW = ProcAs<decltype(g_shellApi.PathFileExistsW)>(
        GetProcAddress(cache.shlwapi, "PathFileExistsW"));
  }
  return g_shellApi.SHGetSpecialFolderPathW != nullptr && g_shellApi.PathFileExistsW != nullptr;
}
