#include "common/signature_verifier.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"

namespace {

struct LocalFreeDeleter {
    void operator()(void* p) const { ::LocalFree(p); }
};

std::wstring CallFailed(const wchar_t* call) {
    return Format(L"%s failed: %d", call, static_cast<int>(::GetLastError()));
}

}  // namespace

CSignatureVerifier::CSignatureVerifier() {
    // SHA-256 needs the AES provider; the base RSA provider knows no SHA-2.
    if (!::CryptAcquireContextW(m_provider.put(), nullptr, nullptr, PROV_RSA_AES,
                                CRYPT_VERIFYCONTEXT)) {
        m_lastError = CallFailed(L"CryptAcquireContext");
        m_provider.release();
    }
}

bool CSignatureVerifier::ImportPublicKey(const std::wstring& base64) {
    m_key.reset();
    m_keyBits = 0;
    if (!m_provider) return false;
    m_lastError.clear();

    DWORD size = 0;
    if (base64.empty() ||
        !::CryptStringToBinaryW(base64.c_str(), static_cast<DWORD>(base64.size()),
                                CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr) ||
        size == 0) {
        m_lastError = L"public key is not base64";
        return false;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryW(base64.c_str(), static_cast<DWORD>(base64.size()),
                                CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr)) {
        m_lastError = CallFailed(L"CryptStringToBinary");
        return false;
    }

    CERT_PUBLIC_KEY_INFO* decoded = nullptr;
    DWORD decodedSize = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), size,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &decodedSize)) {
        m_lastError = CallFailed(L"CryptDecodeObjectEx");
        return false;
    }
    std::unique_ptr<CERT_PUBLIC_KEY_INFO, LocalFreeDeleter> info(decoded);
    if (!info->Algorithm.pszObjId || std::string(info->Algorithm.pszObjId) != szOID_RSA_RSA) {
        m_lastError = L"public key is not an RSA key";
        return false;
    }
    if (!::CryptImportPublicKeyInfo(m_provider.get(), X509_ASN_ENCODING, info.get(), m_key.put())) {
        m_lastError = CallFailed(L"CryptImportPublicKeyInfo");
        m_key.release();
        return false;
    }
    DWORD bits = 0;
    DWORD bitsSize = sizeof(bits);
    if (!::CryptGetKeyParam(m_key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsSize, 0)) {
        m_lastError = CallFailed(L"CryptGetKeyParam");
        m_key.reset();
        return false;
    }
    if (bits < kMinimumKeyBits) {
        m_lastError = Format(L"public key of %u bits is too short", static_cast<unsigned>(bits));
        m_key.reset();
        return false;
    }
    m_keyBits = bits;
    return true;
}

bool CSignatureVerifier::Verify(const void* data, size_t length, const void* signature,
                                size_t signatureLength) {
    m_lastError.clear();
    if (!m_key) {
        m_lastError = L"no public key";
        return false;
    }
    // A PKCS #1 signature is exactly as long as the modulus; anything else is not one.
    if (signatureLength != (m_keyBits + 7) / 8) {
        m_lastError =
            Format(L"signature of %u bytes for a %u-bit key",
                   static_cast<unsigned>(signatureLength), static_cast<unsigned>(m_keyBits));
        return false;
    }
    unique_hcrypthash hash;
    if (!::CryptCreateHash(m_provider.get(), CALG_SHA_256, 0, 0, hash.put())) {
        m_lastError = CallFailed(L"CryptCreateHash");
        hash.release();
        return false;
    }
    const BYTE* bytes = static_cast<const BYTE*>(data);
    while (length > 0) {
        const DWORD chunk = length < (1u << 30) ? static_cast<DWORD>(length) : (1u << 30);
        if (!::CryptHashData(hash.get(), bytes, chunk, 0)) {
            m_lastError = CallFailed(L"CryptHashData");
            return false;
        }
        bytes += chunk;
        length -= chunk;
    }
    // CryptoAPI reads signatures little-endian.
    const BYTE* sig = static_cast<const BYTE*>(signature);
    std::vector<BYTE> reversed(sig, sig + signatureLength);
    std::reverse(reversed.begin(), reversed.end());
    if (!::CryptVerifySignatureW(hash.get(), reversed.data(), static_cast<DWORD>(reversed.size()),
                                 m_key.get(), nullptr, 0)) {
        m_lastError = CallFailed(L"CryptVerifySignature");
        return false;
    }
    return true;
}
