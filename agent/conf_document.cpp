#include "agent/conf_document.h"

#include <windows.h>
#include <msxml2.h>
#include <ole2.h>
#include <oleauto.h>
#include <shlwapi.h>

#include <memory>
#include <vector>

#include "agent/agent_settings.h"
#include "agent/request_paths.h"
#include "agent/status_list.h"
#include "common/handles.h"
#include "common/http_client.h"
#include "common/text.h"

// MinGW's headers lack the MSXML 6 document class and its newest interface.
struct IXMLDOMDocument3 : public IXMLDOMDocument2 {
    virtual HRESULT WINAPI validateNode(IXMLDOMNode* node, IXMLDOMParseError** errorObj) = 0;
    virtual HRESULT WINAPI importNode(IXMLDOMNode* node, VARIANT_BOOL deep,
                                      IXMLDOMNode** clone) = 0;
};

namespace {

const CLSID kClsidDomDocument60 = {
    0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
const IID kIidXmlDomDocument3 = {
    0x2933bf96, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// An entity-expansion document must not exhaust memory: the parser stops past this many
// KiB of expanded document (the stored documents are a few KiB).
constexpr long kMaxDocumentKiB = 4096;

class Bstr {
public:
    explicit Bstr(const wchar_t* text) : value_(::SysAllocString(text)) {}
    Bstr() = default;
    ~Bstr() { ::SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }

private:
    BSTR value_ = nullptr;
};

class Variant {
public:
    Variant() { ::VariantInit(&value_); }
    ~Variant() { ::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* put() {
        ::VariantClear(&value_);
        return &value_;
    }
    const VARIANT& get() const { return value_; }
    VARIANT* ptr() { return &value_; }

private:
    VARIANT value_;
};

VARIANT BoolVariant(bool on) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

VARIANT IntVariant(long n) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

// One failed COM call ends the reading of the document; what was applied stays.
struct ComFailure {};

void Check(HRESULT hr) {
    if (FAILED(hr)) throw ComFailure{};
}

std::wstring StoredDocumentPath() { return Settings().dataFolder + L"\\conf.xml"; }

com_ptr<IXMLDOMDocument3> CreateDocument() {
    com_ptr<IUnknown> unknown;
    com_ptr<IXMLDOMDocument3> document;
    if (FAILED(::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  unknown.put_void())))
        return document;
    if (FAILED(::OleRun(unknown.get()))) return document;
    unknown->QueryInterface(kIidXmlDomDocument3, document.put_void());
    return document;
}

// Node list of an absolute XPath selection.
com_ptr<IXMLDOMNodeList> Select(IXMLDOMDocument3* document, const wchar_t* xpath) {
    com_ptr<IXMLDOMNodeList> list;
    Bstr query(xpath);
    Check(document->selectNodes(query.get(), list.put()));
    if (!list) throw ComFailure{};
    return list;
}

long Length(IXMLDOMNodeList* list) {
    long length = 0;
    Check(list->get_length(&length));
    return length;
}

com_ptr<IXMLDOMElement> ElementAt(IXMLDOMNodeList* list, long index) {
    com_ptr<IXMLDOMNode> node;
    Check(list->get_item(index, node.put()));
    if (!node) throw ComFailure{};
    com_ptr<IXMLDOMElement> element;
    Check(node->QueryInterface(IID_IXMLDOMElement, element.put_void()));
    return element;
}

// False when the attribute is absent.
bool Attribute(IXMLDOMElement* element, const wchar_t* name, std::wstring& text) {
    Bstr attribute(name);
    Variant value;
    Check(element->getAttribute(attribute.get(), value.put()));
    if (value.get().vt == VT_NULL || value.get().vt == VT_EMPTY) return false;
    // Attributes come as text: read it as it is. VariantChangeType would create a hidden
    // window on this thread, which then has to answer every broadcast.
    if (value.get().vt == VT_BSTR) {
        const BSTR b = value.get().bstrVal;
        text.assign(b ? b : L"", b ? ::SysStringLen(b) : 0);
        return true;
    }
    Variant converted;
    Check(::VariantChangeType(converted.put(), value.ptr(), 0, VT_BSTR));
    const BSTR b = converted.get().bstrVal;
    text.assign(b ? b : L"", b ? ::SysStringLen(b) : 0);
    return true;
}

void ApplyDocument(IXMLDOMDocument3* document) {
    AgentSettings& s = Settings();
    std::wstring text;

    com_ptr<IXMLDOMNodeList> timeControl = Select(document, L"/config/timecontrol");
    if (Length(timeControl.get()) > 0) {
        com_ptr<IXMLDOMElement> element = ElementAt(timeControl.get(), 0);
        if (Attribute(element.get(), L"start_day", text)) s.startDay = text;
    }

    com_ptr<IXMLDOMNodeList> group = Select(document, L"/config/grpattendconf");
    if (Length(group.get()) > 0) {
        com_ptr<IXMLDOMElement> element = ElementAt(group.get(), 0);
        if (Attribute(element.get(), L"threshold", text)) s.threshold = _wtoi(text.c_str());
        if (Attribute(element.get(), L"cycle", text)) s.cycle = _wtoi(text.c_str());
    }

    com_ptr<IXMLDOMNodeList> statuses = Select(document, L"/config/status/workstatus");
    // The new list replaces the old one as a whole once built; a failure part-way still
    // publishes what was read, as an in-place rebuild would have left it.
    auto list = std::make_shared<StatusList>();
    struct Publish {
        std::shared_ptr<StatusList>& list;
        ~Publish() { ReplaceStatusList(list); }
    } publish{list};
    const long count = Length(statuses.get());
    for (long i = 0; i < count; ++i) {
        com_ptr<IXMLDOMElement> element = ElementAt(statuses.get(), i);
        if (!Attribute(element.get(), L"id", text)) continue;
        const uint32_t id = static_cast<uint32_t>(_wtoi(text.c_str()));
        list->ids.push_back(id);
        if (!Attribute(element.get(), L"name", text)) continue;
        list->names[id] = text;
        const bool autoReset =
            !Attribute(element.get(), L"autoreset", text) || _wtoi(text.c_str()) == 1;
        list->autoReset[id] = autoReset;
    }
}

}  // namespace

void ApplyConfDocument() {
    const std::wstring path = StoredDocumentPath();
    if (!::PathFileExistsW(path.c_str())) return;
    com_ptr<IXMLDOMDocument3> document = CreateDocument();
    if (!document) return;
    try {
        VARIANT off = BoolVariant(false);
        Bstr prohibitDtd(L"ProhibitDTD");
        Check(document->setProperty(prohibitDtd.get(), off));
        // Not every parser knows these limits; where one is unknown the parser's own
        // bounds apply.
        Bstr resolveExternals(L"ResolveExternals");
        document->setProperty(resolveExternals.get(), off);
        Bstr maxSize(L"MaxXMLSize");
        document->setProperty(maxSize.get(), IntVariant(kMaxDocumentKiB));
        Check(document->put_resolveExternals(VARIANT_FALSE));
        Check(document->put_validateOnParse(VARIANT_FALSE));
        Check(document->put_async(VARIANT_FALSE));
        Bstr file(path.c_str());
        VARIANT source;
        ::VariantInit(&source);
        source.vt = VT_BSTR;
        source.bstrVal = file.get();
        VARIANT_BOOL loaded = VARIANT_FALSE;
        if (FAILED(document->load(source, &loaded)) || loaded != VARIANT_TRUE) return;
        ApplyDocument(document.get());
    } catch (const ComFailure&) {
    } catch (const std::bad_alloc&) {
    }
}

bool IsAutoReset(int statusId) {
    const std::shared_ptr<const StatusList> list = CurrentStatusList();
    const auto it = list->autoReset.find(static_cast<uint32_t>(statusId));
    return it == list->autoReset.end() || it->second;
}

bool CheckForNewSettings() {
    if (!::PathFileExistsW(StoredDocumentPath().c_str())) return true;
    const AgentSettings& s = Settings();
    CHttpClient client(s.server, s.port, s.ssl);
    std::vector<char> body;
    const int n = client.Get(SettingsCheckPath(), body);
    if (!client.Answered(n)) return false;
    return AnsiToWide(body.data(), static_cast<size_t>(n)) == L"1";
}

bool DownloadConfDocument(std::wstring& errorText) {
    const AgentSettings& s = Settings();
    const std::wstring stored = StoredDocumentPath();
    // The stored document is replaced only by a complete download: a broken transfer
    // leaves the previous one in place.
    const std::wstring partial = stored + L".download";
    CHttpClient client(s.server, s.port, s.ssl);
    if (!client.GetToFile(ConfDocumentPath(), partial)) {
        ::DeleteFileW(partial.c_str());
        errorText = Format(L"%d[%d]", static_cast<int>(client.StatusCode()),
                           static_cast<int>(client.ErrorNumber()));
        return false;
    }
    if (!::MoveFileExW(partial.c_str(), stored.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(partial.c_str());
        errorText =
            Format(L"%d[%d]", static_cast<int>(client.StatusCode()), static_cast<int>(error));
        return false;
    }
    return true;
}
