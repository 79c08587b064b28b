#include "secureload/shell_api.h"

#include "secureload/system_library.h"

bool BindShellApi() {
  SystemLibraryCache& cache = g_systemLibraryCache;
  if (cache.shell32 == nullptr) cache.shell32 = LoadSystemLibrary(L"shell32.dll");
  if (cache.shlwapi == nullptr) cache.shlwapi = LoadSystemLibrary(L"shlwapi.dll");
  if (cache.shell32 == nullptr || cache.shlwapi == nullptr) return false;
  return ResolveEntryPoint(cache.shell32, g_shellApi.SHGetSpecialFolderPathW,
                           "SHGetSpecialFolderPathW") &&
         ResolveEntryPoint(cache.shlwapi, g_shellApi.PathFileExistsW, "PathFileExistsW");
}
