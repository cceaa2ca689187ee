// The COM pieces the MSXML 6 build of CXmlHelper stands on: COM entered for
// one call, owned interface pointers and BSTRs, and the node accessors that
// turn MSXML's answers into UTF-8. Windows only; included by
// xml_helper_win32.cpp alone.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: the COM headers need its types.
#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_stream.h"
#include "platform/win32/win_handle.h"

namespace dd::msxml {

using dd::platform::win32::narrow;
using dd::platform::win32::widen;

// mingw-w64 declares MSXML through msxml2.h but cannot link these two ids.
inline const CLSID kDomDocument60 = {
    0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
inline const IID kXmlDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// COM for the length of one call of the helper: every CoInitializeEx that
// succeeded is matched by one CoUninitialize on the same thread. A thread
// the host already put in a single-threaded apartment keeps it (the DOM
// works there too) and is not uninitialised by us.
//
// The documents and nodes outlive those calls, and the thread that made
// them: the process's own hold on the multithreaded apartment
// (CoIncrementMTAUsage, looked up since older systems lack it) keeps the
// apartment, and so MSXML, loaded between calls. It is kept for the life of
// the process: giving it back at unload time would mean calling COM under
// the loader lock.
class ComScope {
  public:
    ComScope() {
        holdApartment();
        m_entered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    ~ComScope() {
        if (m_entered) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    static void holdApartment() {
        static std::once_flag once;
        std::call_once(once, [] {
            using Increment = HRESULT(WINAPI*)(CO_MTA_USAGE_COOKIE*);
            HMODULE ole = GetModuleHandleW(L"ole32.dll");
            auto increment = ole != nullptr ? reinterpret_cast<Increment>(reinterpret_cast<void*>(
                                                  GetProcAddress(ole, "CoIncrementMTAUsage")))
                                            : nullptr;
            CO_MTA_USAGE_COOKIE cookie = nullptr;
            if (increment == nullptr || FAILED(increment(&cookie))) {
                DD_LOG(LOG_DEBUG) << "no process hold on the COM apartment";
            }
        });
    }

    bool m_entered = false;
};

// An owned reference on a COM interface.
template <typename T>
class ComRef {
  public:
    ComRef() = default;
    explicit ComRef(T* raw) : m_raw(raw) {}
    ComRef(const ComRef& other) : m_raw(other.m_raw) {
        if (m_raw != nullptr) {
            m_raw->AddRef();
        }
    }
    ComRef& operator=(ComRef other) {
        std::swap(m_raw, other.m_raw);
        return *this;
    }
    ~ComRef() {
        if (m_raw != nullptr) {
            m_raw->Release();
        }
    }
    T* get() const { return m_raw; }
    T* operator->() const { return m_raw; }
    explicit operator bool() const { return m_raw != nullptr; }
    // For out parameters: drops what is held first.
    T** put() {
        *this = ComRef();
        return &m_raw;
    }
    template <typename U>
    ComRef<U> query(REFIID iid) const {
        ComRef<U> out;
        if (m_raw != nullptr) {
            m_raw->QueryInterface(iid, reinterpret_cast<void**>(out.put()));
        }
        return out;
    }

  private:
    T* m_raw = nullptr;
};

// A BSTR made from UTF-8 text, freed with its owner.
class Bstr {
  public:
    explicit Bstr(std::string_view utf8) {
        std::wstring wide = widen(utf8);
        m_text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    }
    Bstr() = default;
    ~Bstr() { SysFreeString(m_text); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_text; }
    BSTR* put() {
        SysFreeString(m_text);
        m_text = nullptr;
        return &m_text;
    }
    std::string utf8() const {
        return m_text == nullptr ? std::string() : narrow({m_text, SysStringLen(m_text)});
    }

  private:
    BSTR m_text = nullptr;
};

inline std::string textOfVariant(VARIANT& value) {
    std::string out;
    if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
        out = narrow({value.bstrVal, SysStringLen(value.bstrVal)});
    }
    VariantClear(&value);
    return out;
}

inline DOMNodeType typeOf(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    node->get_nodeType(&type);
    return type;
}

inline std::string nodeNameOf(IXMLDOMNode* node) {
    Bstr name;
    node->get_nodeName(name.put());
    return name.utf8();
}

inline std::string nodeValueOf(IXMLDOMNode* node) {
    VARIANT value;
    VariantInit(&value);
    node->get_nodeValue(&value);
    return textOfVariant(value);
}

// The node's children in order (none for a null node).
inline std::vector<ComRef<IXMLDOMNode>> childNodesOf(IXMLDOMNode* node) {
    std::vector<ComRef<IXMLDOMNode>> out;
    ComRef<IXMLDOMNode> child;
    if (node != nullptr) {
        node->get_firstChild(child.put());
    }
    while (child) {
        out.push_back(child);
        ComRef<IXMLDOMNode> next;
        child->get_nextSibling(next.put());
        child = next;
    }
    return out;
}

inline std::vector<ComRef<IXMLDOMNode>> attributeNodesOf(IXMLDOMNode* node) {
    std::vector<ComRef<IXMLDOMNode>> out;
    ComRef<IXMLDOMNamedNodeMap> map;
    if (node == nullptr || node->get_attributes(map.put()) != S_OK || !map) {
        return out;
    }
    long count = 0;
    map->get_length(&count);
    for (long i = 0; i < count; ++i) {
        ComRef<IXMLDOMNode> attribute;
        if (map->get_item(i, attribute.put()) == S_OK && attribute) {
            out.push_back(attribute);
        }
    }
    return out;
}

inline ComRef<IXMLDOMNode> attributeNode(IXMLDOMNode* node, std::string_view name) {
    ComRef<IXMLDOMNode> found;
    ComRef<IXMLDOMNamedNodeMap> map;
    if (node != nullptr && node->get_attributes(map.put()) == S_OK && map) {
        Bstr key(name);
        map->getNamedItem(key.get(), found.put());
    }
    return found;
}

}  // namespace dd::msxml
