// CXmlHelper over MSXML 6 (DOMDocument60 with XPath selection), the DOM that
// every Windows has. It behaves as the pugixml build does, down to the bytes
// of a saved file: the text is written by our own walk of the tree, in
// pugixml's indented form, so a store file reads the same on either system.
#include "deviceinfo/xml_helper.h"

#include "deviceinfo/xml_msxml.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log/log_stream.h"

using namespace dd::msxml;

// A handle holds one reference on the MSXML node.
struct CXmlNode::Impl {
    ComRef<IXMLDOMNode> node;
};

struct CXmlHelper::Document {
    ComRef<IXMLDOMDocument2> dom;  // null while no document is held
};

namespace {

CXmlNode wrap(ComRef<IXMLDOMNode> node) {
    return node ? CXmlNode(std::make_shared<const CXmlNode::Impl>(CXmlNode::Impl{node}))
                : CXmlNode();
}

IXMLDOMNode* unwrap(const CXmlNode& node) {
    return node ? node.impl()->node.get() : nullptr;
}

bool isElement(IXMLDOMNode* node) {
    return node != nullptr && typeOf(node) == NODE_ELEMENT;
}

bool isText(IXMLDOMNode* node) {
    DOMNodeType type = typeOf(node);
    return type == NODE_TEXT || type == NODE_CDATA_SECTION;
}

// A new, empty DOMDocument60 set up as the pugixml build parses: XPath
// selection, no DTD, nothing fetched from outside, whitespace-only text
// dropped.
ComRef<IXMLDOMDocument2> newDocument() {
    ComScope com;
    ComRef<IXMLDOMDocument2> dom;
    if (FAILED(CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kXmlDomDocument2,
                                reinterpret_cast<void**>(dom.put()))) ||
        !dom) {
        DD_LOG(LOG_ERR) << "MSXML 6 is not available";
        return {};
    }
    dom->put_async(VARIANT_FALSE);
    dom->put_validateOnParse(VARIANT_FALSE);
    dom->put_resolveExternals(VARIANT_FALSE);
    dom->put_preserveWhiteSpace(VARIANT_FALSE);
    const std::pair<const char*, const char*> properties[] = {{"SelectionLanguage", "XPath"},
                                                              {"ProhibitDTD", nullptr}};
    for (const auto& [name, text] : properties) {
        Bstr key(name);
        VARIANT value;
        VariantInit(&value);
        if (text != nullptr) {
            value.vt = VT_BSTR;
            value.bstrVal = SysAllocString(widen(text).c_str());
        } else {
            value.vt = VT_BOOL;
            value.boolVal = VARIANT_TRUE;
        }
        dom->setProperty(key.get(), value);
        VariantClear(&value);
    }
    return dom;
}

// pugixml's escapes: in text & < > and \r; in attributes also the double
// quote and the line breaks and tabs; every other control byte as &#N;.
void appendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                continue;
            case '<':
                out += "&lt;";
                continue;
            case '>':
                out += "&gt;";
                continue;
            case '"':
                out += attribute ? "&quot;" : "\"";
                continue;
            default:
                break;
        }
        bool keep = byte >= 32 || (!attribute && (c == '\n' || c == '\t'));
        if (keep) {
            out += c;
        } else {
            out += "&#" + std::to_string(byte) + ";";
        }
    }
}

void appendIndent(std::string& out, int depth) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
}

// Writes node and what is below it the way pugixml's indented output does:
// one node a line, an element whose only child is text kept on one line.
// Comments, processing instructions and the declaration are left out, as
// pugixml drops them when it parses.
void serializeNode(std::string& out, IXMLDOMNode* node, int depth) {
    DOMNodeType type = typeOf(node);
    if (type != NODE_ELEMENT && type != NODE_TEXT && type != NODE_CDATA_SECTION) {
        return;
    }
    appendIndent(out, depth);
    switch (type) {
        case NODE_ELEMENT: {
            std::string name = nodeNameOf(node);
            out += "<" + name;
            for (const auto& attribute : attributeNodesOf(node)) {
                out += " " + nodeNameOf(attribute.get()) + "=\"";
                appendEscaped(out, nodeValueOf(attribute.get()), true);
                out += "\"";
            }
            std::vector<ComRef<IXMLDOMNode>> children = childNodesOf(node);
            if (children.empty()) {
                out += " />\n";
            } else if (children.size() == 1 && typeOf(children[0].get()) == NODE_TEXT) {
                out += ">";
                appendEscaped(out, nodeValueOf(children[0].get()), false);
                out += "</" + name + ">\n";
            } else {
                out += ">\n";
                for (const auto& child : children) {
                    serializeNode(out, child.get(), depth + 1);
                }
                appendIndent(out, depth);
                out += "</" + name + ">\n";
            }
            return;
        }
        case NODE_TEXT:
            appendEscaped(out, nodeValueOf(node), false);
            break;
        default:
            out += "<![CDATA[" + nodeValueOf(node) + "]]>";
            break;
    }
    out += "\n";
}

// Text that an XPath of ours may carry: a NUL would end the BSTR early in
// MSXML and leave a different expression, so such text selects nothing.
bool usableXpath(std::string_view xpath) {
    return xpath.find('\0') == std::string_view::npos;
}

}  // namespace

std::string CXmlNode::name() const {
    IXMLDOMNode* node = unwrap(*this);
    if (node == nullptr) {
        return {};
    }
    DOMNodeType type = typeOf(node);
    return type == NODE_ELEMENT || type == NODE_PROCESSING_INSTRUCTION || type == NODE_ATTRIBUTE
               ? nodeNameOf(node)
               : std::string();
}

std::string CXmlNode::attribute(std::string_view name) const {
    ComRef<IXMLDOMNode> found = attributeNode(unwrap(*this), name);
    return found ? nodeValueOf(found.get()) : std::string();
}

bool CXmlNode::hasAttribute(std::string_view name) const {
    return static_cast<bool>(attributeNode(unwrap(*this), name));
}

std::vector<std::pair<std::string, std::string>> CXmlNode::attributes() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& attribute : attributeNodesOf(unwrap(*this))) {
        out.emplace_back(nodeNameOf(attribute.get()), nodeValueOf(attribute.get()));
    }
    return out;
}

std::string CXmlNode::text() const {
    IXMLDOMNode* node = unwrap(*this);
    if (node == nullptr) {
        return {};
    }
    if (isText(node)) {
        return nodeValueOf(node);
    }
    for (const auto& child : childNodesOf(node)) {
        if (isText(child.get())) {
            return nodeValueOf(child.get());
        }
    }
    return {};
}

CXmlNode CXmlNode::child(std::string_view name) const {
    for (const auto& node : childNodesOf(unwrap(*this))) {
        if (isElement(node.get()) && nodeNameOf(node.get()) == name) {
            return wrap(node);
        }
    }
    return {};
}

std::vector<CXmlNode> CXmlNode::children(std::string_view name) const {
    std::vector<CXmlNode> out;
    for (const auto& node : childNodesOf(unwrap(*this))) {
        if (isElement(node.get()) && (name.empty() || nodeNameOf(node.get()) == name)) {
            out.push_back(wrap(node));
        }
    }
    return out;
}

CXmlHelper::CXmlHelper() : m_document(std::make_unique<Document>()) {}

CXmlHelper::~CXmlHelper() {
    ComScope com;
    m_document.reset();
}

void CXmlHelper::dropDocument() {
    m_document->dom = ComRef<IXMLDOMDocument2>();
}

CXmlNode CXmlHelper::root() const {
    ComRef<IXMLDOMElement> element;
    if (!m_document->dom || m_document->dom->get_documentElement(element.put()) != S_OK) {
        return {};
    }
    return wrap(element.query<IXMLDOMNode>(IID_IXMLDOMNode));
}

int CXmlHelper::parseLoaded(const std::string& text) {
    ComScope com;
    dropDocument();
    if (text.empty()) {
        m_loadProblem = LoadProblem::Damaged;
        m_lastError = "the file is empty";
        ShowXmlError();
        return kOpenFailed;
    }
    ComRef<IXMLDOMDocument2> dom = newDocument();
    if (!dom) {
        m_loadProblem = LoadProblem::Damaged;
        m_lastError = "no XML parser";
        return kOpenFailed;
    }
    // The bytes go to MSXML as a byte array, so that it reads them as it
    // would read the file: encoding from the byte-order mark or the
    // declaration, UTF-8 otherwise.
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
    if (bytes == nullptr) {
        m_loadProblem = LoadProblem::Damaged;
        m_lastError = "out of memory";
        return kOpenFailed;
    }
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(bytes, &data))) {
        std::memcpy(data, text.data(), text.size());
        SafeArrayUnaccessData(bytes);
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_ARRAY | VT_UI1;
    source.parray = bytes;
    VARIANT_BOOL parsed = VARIANT_FALSE;
    HRESULT result = dom->load(source, &parsed);
    VariantClear(&source);
    ComRef<IXMLDOMElement> element;
    if (SUCCEEDED(result) && parsed == VARIANT_TRUE &&
        dom->get_documentElement(element.put()) == S_OK && element) {
        m_document->dom = dom;
        m_loaded = true;
        m_loadProblem = LoadProblem::None;
        m_lastError.clear();
        return kOk;
    }
    m_loadProblem = LoadProblem::Damaged;
    m_lastError = "not well-formed";
    ComRef<IXMLDOMParseError> error;
    if (dom->get_parseError(error.put()) == S_OK && error) {
        Bstr reason;
        long line = 0;
        error->get_reason(reason.put());
        error->get_line(&line);
        std::string text = reason.utf8();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (!text.empty()) {
            m_lastError = text + " (line " + std::to_string(line) + ")";
        }
    }
    ShowXmlError();
    return kOpenFailed;
}

void CXmlHelper::CreateDocument(std::string_view rootName) {
    ComScope com;
    dropDocument();
    m_loaded = false;
    ComRef<IXMLDOMDocument2> dom = newDocument();
    if (!dom) {
        return;
    }
    // The declaration is written by serialize(), as for a loaded document.
    Bstr name(rootName);
    ComRef<IXMLDOMElement> element;
    ComRef<IXMLDOMNode> added;
    if (FAILED(dom->createElement(name.get(), element.put())) ||
        FAILED(dom->appendChild(element.get(), added.put()))) {
        DD_LOG(LOG_DEBUG) << "Error: CreateDocument()";
        return;
    }
    m_document->dom = dom;
    m_loaded = true;
}

int CXmlHelper::GetNode(std::string_view xpath, CXmlNode& out, const CXmlNode& context) {
    out = CXmlNode();
    if (xpath.empty()) {
        return kInvalidParameter;
    }
    if (!m_document->dom) {
        return kNoMatch;
    }
    if (!usableXpath(xpath)) {
        DD_LOG(LOG_DEBUG) << "Error: GetNode()";
        return kParserError;
    }
    ComScope com;
    IXMLDOMNode* from = context ? unwrap(context) : m_document->dom.get();
    Bstr expression(xpath);
    ComRef<IXMLDOMNode> found;
    HRESULT result = from->selectSingleNode(expression.get(), found.put());
    if (FAILED(result)) {
        DD_LOG(LOG_DEBUG) << "Error: GetNode()";
        return kParserError;
    }
    out = wrap(found);
    return out ? kOk : kNoMatch;
}

int CXmlHelper::GetNodeList(std::string_view xpath, std::vector<CXmlNode>& out,
                            const CXmlNode& context) {
    out.clear();
    if (xpath.empty()) {
        return kInvalidParameter;
    }
    if (!m_document->dom) {
        return kOk;
    }
    if (!usableXpath(xpath)) {
        DD_LOG(LOG_DEBUG) << "Error: GetNodeList()";
        return kParserError;
    }
    ComScope com;
    IXMLDOMNode* from = context ? unwrap(context) : m_document->dom.get();
    Bstr expression(xpath);
    ComRef<IXMLDOMNodeList> list;
    if (FAILED(from->selectNodes(expression.get(), list.put())) || !list) {
        DD_LOG(LOG_DEBUG) << "Error: GetNodeList()";
        return kParserError;
    }
    for (;;) {
        ComRef<IXMLDOMNode> node;
        if (list->nextNode(node.put()) != S_OK || !node) {
            break;
        }
        // An attribute selected by the expression is no node of the tree.
        if (typeOf(node.get()) != NODE_ATTRIBUTE) {
            out.push_back(wrap(node));
        }
    }
    return kOk;
}

int CXmlHelper::GetNodeAttribeValue(std::string_view xpath, std::string_view name, std::string& out,
                                    const CXmlNode& context) {
    CXmlNode node;
    int result = GetNode(xpath, node, context);
    if (result != kOk) {
        if (result == kParserError) {
            DD_LOG(LOG_DEBUG) << "Error: GetNodeAttribeValue()";
        }
        return result;
    }
    if (!node.hasAttribute(name)) {
        return kNoMatch;
    }
    out = node.attribute(name);
    return kOk;
}

int CXmlHelper::CreateAppendNode(const CXmlNode& parent, std::string_view name, CXmlNode& out) {
    out = CXmlNode();
    if (!parent || name.empty() || !m_document->dom) {
        return kOk;
    }
    ComScope com;
    Bstr tag(name);
    ComRef<IXMLDOMElement> element;
    ComRef<IXMLDOMNode> added;
    if (FAILED(m_document->dom->createElement(tag.get(), element.put())) || !element ||
        FAILED(unwrap(parent)->appendChild(element.get(), added.put())) || !added) {
        DD_LOG(LOG_DEBUG) << "Error: CreateAppendNode()";
        return kParserError;
    }
    out = wrap(added);
    return kOk;
}

int CXmlHelper::SetNodeAttrib(const CXmlNode& handle, std::string_view name,
                              std::string_view value) {
    IXMLDOMNode* node = unwrap(handle);
    if (!isElement(node) || name.empty() || value.empty()) {
        return kInvalidParameter;
    }
    ComScope com;
    ComRef<IXMLDOMElement> element = handle.impl()->node.query<IXMLDOMElement>(IID_IXMLDOMElement);
    Bstr key(name);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(widen(value).c_str());
    HRESULT result = element ? element->setAttribute(key.get(), text) : E_NOINTERFACE;
    VariantClear(&text);
    if (FAILED(result)) {
        DD_LOG(LOG_DEBUG) << "Error: SetNodeAttrib()";
        return kParserError;
    }
    return kOk;
}

bool CXmlHelper::SetNodeText(const CXmlNode& handle, std::string_view text) {
    IXMLDOMNode* node = unwrap(handle);
    if (node == nullptr || HasChildren(handle) || !m_document->dom) {
        return false;
    }
    ComScope com;
    for (const auto& child : childNodesOf(node)) {
        ComRef<IXMLDOMNode> removed;
        node->removeChild(child.get(), removed.put());
    }
    Bstr content(text);
    ComRef<IXMLDOMText> created;
    ComRef<IXMLDOMNode> added;
    return SUCCEEDED(m_document->dom->createTextNode(content.get(), created.put())) && created &&
           SUCCEEDED(node->appendChild(created.get(), added.put()));
}

bool CXmlHelper::HasChildren(const CXmlNode& node) const {
    for (const auto& child : childNodesOf(unwrap(node))) {
        if (isElement(child.get())) {
            return true;
        }
    }
    return false;
}

int CXmlHelper::RemoveAssignNode(const CXmlNode& parent, const CXmlNode& child) {
    if (!parent || !child) {
        return 1;
    }
    ComScope com;
    ComRef<IXMLDOMNode> removed;
    HRESULT result = unwrap(parent)->removeChild(unwrap(child), removed.put());
    return SUCCEEDED(result) && removed ? kOk : kParserError;
}

std::string CXmlHelper::serialize() const {
    std::string out = "<?xml version=\"1.0\"?>\n";
    for (const auto& node : childNodesOf(m_document->dom.get())) {
        serializeNode(out, node.get(), 0);
    }
    return out;
}
