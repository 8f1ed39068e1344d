#include "common/file_digest.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "test_support.h"

namespace {

TEST(FileDigest, KnownVectorsInLowerCase) {
    CFileDigest digest;
    ASSERT_TRUE(digest.Acquired()) << Narrow(digest.LastError());
    std::wstring out = L"previous";
    EXPECT_TRUE(digest.HashBuffer("", 0, out));
    EXPECT_EQ(out, L"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_TRUE(digest.HashBuffer("abc", 3, out));
    EXPECT_EQ(out, L"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_TRUE(digest.LastError().empty());
}

TEST(FileDigest, FilesOfEverySizeMatchTheDigestOfTheirBytes) {
    TempDir dir;
    CFileDigest digest;
    // Empty, one byte, exactly one read block, and larger than the block by an odd amount.
    for (size_t size : {size_t{0}, size_t{1}, size_t{CFileDigest::kReadBlock},
                        size_t{3 * CFileDigest::kReadBlock + 7}}) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
        const std::wstring path = dir / L"data.bin";
        ASSERT_TRUE(WriteBytes(path, bytes));
        std::wstring fromFile, fromBuffer;
        ASSERT_TRUE(digest.HashFile(path, fromFile)) << Narrow(digest.LastError());
        ASSERT_TRUE(digest.HashBuffer(bytes.data(), static_cast<DWORD>(size), fromBuffer));
        EXPECT_EQ(fromFile, fromBuffer) << "size " << size;
    }
    std::wstring empty;
    WriteBytes(dir / L"empty", "");
    ASSERT_TRUE(digest.HashFile(dir / L"empty", empty));
    EXPECT_EQ(empty, L"d41d8cd98f00b204e9800998ecf8427e");
}

TEST(FileDigest, FileHeldOpenElsewhereIsNotDigested) {
    TempDir dir;
    const std::wstring path = dir / L"held.bin";
    ASSERT_TRUE(WriteBytes(path, "abc"));
    CFileDigest digest;
    {
        unique_hfile holder(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        std::wstring out = L"unchanged";
        EXPECT_FALSE(digest.HashFile(path, out));
        EXPECT_EQ(out, L"unchanged");
        EXPECT_EQ(digest.LastError().rfind(L"Couldn't open source file: ", 0), 0u)
            << Narrow(digest.LastError());
        EXPECT_GT(digest.LastError().size(), 27u);  // the system's reason follows
    }
    std::wstring out;
    EXPECT_TRUE(digest.HashFile(path, out));
    EXPECT_EQ(out, L"900150983cd24fb0d6963f7d28e17f72");

    EXPECT_FALSE(digest.HashFile(dir / L"missing.bin", out));
    EXPECT_EQ(digest.LastError().rfind(L"Couldn't open source file: ", 0), 0u);
}

}  // namespace
