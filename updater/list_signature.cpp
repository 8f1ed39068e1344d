#include "updater/list_signature.h"

#include <windows.h>

#include <new>
#include <vector>

#include "common/handles.h"
#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/signature_verifier.h"
#include "updater/updater.h"

namespace {

bool Digits(const std::string& text, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The whole stored list; false when it can't be read.
bool ReadListBytes(const std::wstring& path, std::string& bytes) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bytes.clear();
    char block[65536];
    DWORD read = 0;
    try {
        while (::ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0)
            bytes.append(block, read);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

bool ParseUtcTime(const std::string& text, int64_t& seconds) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return false;
    int year, month, day, hour, minute, second;
    if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
        !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second))
        return false;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
        hour > 23 || minute > 59 || second > 59)
        return false;
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

ListExpiry CheckListExpiry(const std::string& listBytes, int64_t now, int64_t& expires) {
    static const std::string kPrefix = "expires=";
    ListExpiry result = ListExpiry::kNone;
    size_t start = 0;
    while (start < listBytes.size()) {
        size_t end = listBytes.find('\n', start);
        if (end == std::string::npos) end = listBytes.size();
        size_t stop = end;
        if (stop > start && listBytes[stop - 1] == '\r') --stop;
        const std::string line = listBytes.substr(start, stop - start);
        start = end + 1;
        if (line.compare(0, kPrefix.size(), kPrefix) != 0) continue;

        int64_t when = 0;
        // A signed line that can't be read is not taken for "no expiry".
        if (!ParseUtcTime(line.substr(kPrefix.size()), when)) return ListExpiry::kUnreadable;
        if (result == ListExpiry::kNone || when < expires) expires = when;
        result = ListExpiry::kValid;
    }
    if (result == ListExpiry::kValid && now >= expires) return ListExpiry::kPassed;
    return result;
}

bool CUpdater::VerifyListSignature(const std::wstring& listFile) {
    if (m_listSignaturePath.empty()) {
        Log(L"DownloadList: signature path empty");
        return false;
    }
    CSignatureVerifier verifier;
    if (!verifier.ImportPublicKey(m_publicKey)) {
        Log(L"DownloadList: public key error");
        return false;
    }

    CHttpClient client(m_server, m_port, m_ssl);
    std::vector<char> signature;
    int length = 0;
    for (int attempt = 1;; ++attempt) {
        length = client.Get(m_listSignaturePath, signature);
        if (client.Answered(length)) break;
        if (client.StatusCode() == 404) {
            Log(L"DownloadList Signature: not found");
            return false;
        }
        if (attempt == 5) {
            Log(L"DownloadList Signature: connect err:%d httpstatus:%d", client.ErrorNumber(),
                client.StatusCode());
            return false;
        }
        seam::Sleep(10000);
    }

    // Exactly the stored bytes that ReadList goes on to parse.
    std::string list;
    if (!ReadListBytes(listFile, list) ||
        !verifier.Verify(list.data(), list.size(), signature.data(), static_cast<size_t>(length))) {
        Log(L"DownloadList: signature unmatch");
        return false;
    }
    Log(L"DownloadList: signature ok");

    int64_t expires = 0;
    const ListExpiry expiry = CheckListExpiry(list, seam::Now(), expires);
    if (expiry == ListExpiry::kUnreadable) {
        Log(L"DownloadList: list expiry unreadable");
        return false;
    }
    if (expiry == ListExpiry::kPassed) {
        Log(L"DownloadList: list expired");
        return false;
    }
    return true;
}
