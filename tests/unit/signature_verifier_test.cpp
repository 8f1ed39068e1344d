// The verifier against keys and signatures made by openssl (fixtures/signing).
#include "common/signature_verifier.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::string Signing(const std::string& name) {
    return ReadBytes(TestBinFolder() + L"\\fixtures\\signing\\" +
                     std::wstring(name.begin(), name.end()));
}

std::wstring Key(const std::string& name) {
    const std::string text = Signing(name + ".b64");
    return std::wstring(text.begin(), text.end());
}

bool Verifies(const std::string& key, const std::string& list, const std::string& signature) {
    CSignatureVerifier verifier;
    if (!verifier.ImportPublicKey(Key(key))) return false;
    return verifier.Verify(list.data(), list.size(), signature.data(), signature.size());
}

TEST(SignatureVerifier, AcceptsOpensslSignaturesOfTheExactBytes) {
    const std::string list = Signing("list.txt");
    ASSERT_FALSE(list.empty());
    for (const char* key : {"key", "big"}) {
        CSignatureVerifier verifier;
        ASSERT_TRUE(verifier.ImportPublicKey(Key(key))) << key << Narrow(verifier.LastError());
        const std::string signature = Signing(std::string("list.") + key + ".sig");
        EXPECT_EQ(verifier.KeyBits() / 8, signature.size()) << key;
        EXPECT_TRUE(verifier.Verify(list.data(), list.size(), signature.data(), signature.size()))
            << key << " " << Narrow(verifier.LastError());
        EXPECT_TRUE(verifier.LastError().empty());
    }
}

TEST(SignatureVerifier, RejectsAnythingElse) {
    const std::string list = Signing("list.txt");
    const std::string signature = Signing("list.key.sig");
    std::string changedList = list;
    changedList[list.size() / 2] ^= 0x01;
    std::string changedSignature = signature;
    changedSignature[7] ^= 0x80;
    struct Case {
        const char* what;
        std::string key, list, signature;
    } cases[] = {
        {"one list byte changed", "key", changedList, signature},
        {"a byte more", "key", list + "\n", signature},
        {"one signature bit changed", "key", list, changedSignature},
        {"another key's signature", "key", list, Signing("list.other.sig")},
        {"signed by the key, checked with another", "other", list, signature},
        {"signature cut short", "key", list, signature.substr(0, signature.size() - 1)},
        {"signature with a byte more", "key", list, signature + '\0'},
        {"empty signature", "key", list, ""},
        {"signature in the wrong byte order", "key", list,
         std::string(signature.rbegin(), signature.rend())},
    };
    for (const Case& c : cases) EXPECT_FALSE(Verifies(c.key, c.list, c.signature)) << c.what;
}

TEST(SignatureVerifier, RefusesKeysThatAreShortOrNotRsaOrNotKeys) {
    const std::wstring good = Key("key");
    const std::wstring refused[] = {
        Key("small"),                     // 1024 bits
        Key("ec"),                        // not RSA
        L"",                              // nothing
        L"not base64 at all!",            // not base64
        L"AAAA",                          // base64, not DER
        good.substr(0, good.size() / 2),  // DER cut in half
    };
    for (const std::wstring& key : refused) {
        CSignatureVerifier verifier;
        EXPECT_FALSE(verifier.ImportPublicKey(key)) << Narrow(key);
        EXPECT_FALSE(verifier.LastError().empty());
        // Nothing is verified without a key, not even a signature that matches another one.
        const std::string list = Signing("list.txt");
        const std::string signature = Signing("list.small.sig");
        EXPECT_FALSE(verifier.Verify(list.data(), list.size(), signature.data(), signature.size()));
    }
    CSignatureVerifier verifier;
    EXPECT_TRUE(verifier.ImportPublicKey(good)) << Narrow(verifier.LastError());
    EXPECT_EQ(verifier.KeyBits(), 2048u);
}

}  // namespace
