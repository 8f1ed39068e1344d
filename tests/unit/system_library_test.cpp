// System DLLs are loaded from the system folder only: a file of the same name in the
// program's own folder (the first place of the search order) is never taken.
#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/system_library.h"
#include "test_support.h"

namespace {

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

bool InFolder(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() + 1 &&
           _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) == 0 &&
           path[folder.size()] == L'\\' &&
           path.find(L'\\', folder.size() + 1) == std::wstring::npos;
}

TEST(SystemLibrary, TakenFromTheSystemFolderEvenWithADllOfThatNameBesideTheProgram) {
    const std::wstring system = SystemFolder();
    ASSERT_FALSE(system.empty());
    ASSERT_NE(system.back(), L'\\');
    // A DLL of the system's name beside the test program (a version fixture renamed).
    const std::wstring planted = TestBinFolder() + L"\\xinput9_1_0.dll";
    ASSERT_TRUE(::CopyFileW((TestBinFolder() + L"\\fixtures\\ver_none.dll").c_str(),
                            planted.c_str(), FALSE));
    {
        // The plain search order takes the planted file: what the safe load must avoid.
        unique_hmodule plain(::LoadLibraryW(L"xinput9_1_0.dll"));
        ASSERT_TRUE(plain);
        const std::wstring plainPath = ModulePath(plain.get());
        plain.reset();

        unique_hmodule safe(LoadSystemLibrary(L"xinput9_1_0.dll"));
        ASSERT_TRUE(safe);
        const std::wstring safePath = ModulePath(safe.get());
        EXPECT_TRUE(InFolder(safePath, system)) << Narrow(safePath);
        EXPECT_NE(::GetProcAddress(safe.get(), "XInputGetState"), nullptr);
        if (_wcsicmp(plainPath.c_str(), planted.c_str()) != 0)
            std::printf("note: the plain load took %s, not the planted file\n",
                        Narrow(plainPath).c_str());
    }
    ::DeleteFileW(planted.c_str());
    // A name the system folder doesn't hold is not looked for elsewhere.
    EXPECT_EQ(LoadSystemLibrary(L"pw_no_such_library.dll"), nullptr);
}

}  // namespace
