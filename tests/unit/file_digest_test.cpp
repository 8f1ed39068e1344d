#include "common/file_digest.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/handles.h"
#include "test_support.h"

namespace {

TEST(FileDigest, KnownVectorsInLowerCase) {
    struct Case {
        DigestKind kind;
        const char* input;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {DigestKind::Md5, "", L"d41d8cd98f00b204e9800998ecf8427e"},
        {DigestKind::Md5, "abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {DigestKind::Sha256, "",
         L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {DigestKind::Sha256, "abc",
         L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Case& c : cases) {
        CFileDigest digest(c.kind);
        ASSERT_TRUE(digest.Acquired()) << Narrow(digest.LastError());
        std::wstring out = L"previous";
        EXPECT_TRUE(digest.HashBuffer(c.input, static_cast<DWORD>(strlen(c.input)), out));
        EXPECT_EQ(out, c.expected);
        EXPECT_TRUE(digest.LastError().empty());
        EXPECT_EQ(CFileDigest::KindOf(out), c.kind);
    }
    // Only the length decides; an empty or odd-sized digest is taken for MD5.
    EXPECT_EQ(CFileDigest::KindOf(L""), DigestKind::Md5);
    EXPECT_EQ(CFileDigest::KindOf(std::wstring(63, L'a')), DigestKind::Md5);
    EXPECT_EQ(CFileDigest::KindOf(std::wstring(64, L'A')), DigestKind::Sha256);
}

TEST(FileDigest, FilesOfEverySizeMatchTheDigestOfTheirBytes) {
    TempDir dir;
    for (DigestKind kind : {DigestKind::Md5, DigestKind::Sha256}) {
        CFileDigest digest(kind);
        // Empty, one byte, exactly one read block, and larger than the block by an odd amount.
        for (size_t size : {size_t{0}, size_t{1}, size_t{CFileDigest::kReadBlock},
                            size_t{3 * CFileDigest::kReadBlock + 7}}) {
            std::string bytes(size, '\0');
            for (size_t i = 0; i < size; ++i)
                bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
            const std::wstring path = dir / L"data.bin";
            ASSERT_TRUE(WriteBytes(path, bytes));
            std::wstring fromFile, fromBuffer;
            ASSERT_TRUE(digest.HashFile(path, fromFile)) << Narrow(digest.LastError());
            ASSERT_TRUE(digest.HashBuffer(bytes.data(), static_cast<DWORD>(size), fromBuffer));
            EXPECT_EQ(fromFile, fromBuffer) << "size " << size;
            EXPECT_EQ(fromFile.size(), kind == DigestKind::Sha256 ? 64u : 32u);
        }
    }
    CFileDigest digest;
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
