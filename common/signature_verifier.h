// Detached RSA signatures of update lists: RSASSA-PKCS1-v1_5 with SHA-256, checked
// through CryptoAPI's PROV_RSA_AES provider with the publisher's public key.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "common/handles.h"

class CSignatureVerifier {
public:
    // Keys shorter than this are refused: they no longer protect anything.
    static constexpr DWORD kMinimumKeyBits = 2048;

    CSignatureVerifier();
    CSignatureVerifier(const CSignatureVerifier&) = delete;
    CSignatureVerifier& operator=(const CSignatureVerifier&) = delete;

    // The publisher's key as base64 of its DER SubjectPublicKeyInfo (what
    // "openssl rsa -pubout -outform DER | base64 -w0" prints). False when the provider is
    // missing, the text does not decode, the key is not RSA or has fewer than
    // kMinimumKeyBits bits.
    bool ImportPublicKey(const std::wstring& base64);

    // True when `signature`, as openssl writes it (big-endian, as long as the key's
    // modulus), signs exactly `length` bytes at `data` with the imported key.
    bool Verify(const void* data, size_t length, const void* signature, size_t signatureLength);

    DWORD KeyBits() const { return m_keyBits; }
    // What failed last, for tests and diagnostics; empty after a success.
    const std::wstring& LastError() const { return m_lastError; }

private:
    unique_hcryptprov m_provider;
    unique_hcryptkey m_key;
    DWORD m_keyBits = 0;
    std::wstring m_lastError;
};
