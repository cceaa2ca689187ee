#include "deviceinfo/xml_helper.h"

#include <pugixml.hpp>

#include <sstream>

#include "log/log_stream.h"

namespace {

// Developer trace of the helper: kept at debug level, since the callers log
// what a failure means for them.
void xmlTrace(const char* text) {
    DD_LOG(LOG_DEBUG) << text;
}

}  // namespace

// pugixml is the DOM on Linux: a node handle holds one pugi::xml_node, which
// is itself only a pointer into the document.
struct CXmlNode::Impl {
    pugi::xml_node node;
};

struct CXmlHelper::Document {
    pugi::xml_document dom;
};

namespace {

CXmlNode wrap(pugi::xml_node node) {
    return node ? CXmlNode(std::make_shared<const CXmlNode::Impl>(CXmlNode::Impl{node}))
                : CXmlNode();
}

pugi::xml_node unwrap(const CXmlNode& node) {
    return node ? node.impl()->node : pugi::xml_node();
}

}  // namespace

std::string CXmlNode::name() const {
    return unwrap(*this).name();
}

std::string CXmlNode::attribute(std::string_view name) const {
    return unwrap(*this).attribute(std::string(name).c_str()).value();
}

bool CXmlNode::hasAttribute(std::string_view name) const {
    return static_cast<bool>(unwrap(*this).attribute(std::string(name).c_str()));
}

std::vector<std::pair<std::string, std::string>> CXmlNode::attributes() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (pugi::xml_attribute attribute : unwrap(*this).attributes()) {
        out.emplace_back(attribute.name(), attribute.value());
    }
    return out;
}

std::string CXmlNode::text() const {
    return unwrap(*this).text().get();
}

CXmlNode CXmlNode::child(std::string_view name) const {
    return wrap(unwrap(*this).child(std::string(name).c_str()));
}

std::vector<CXmlNode> CXmlNode::children(std::string_view name) const {
    std::vector<CXmlNode> out;
    for (pugi::xml_node child : unwrap(*this).children()) {
        if (child.type() == pugi::node_element && (name.empty() || child.name() == name)) {
            out.push_back(wrap(child));
        }
    }
    return out;
}

CXmlHelper::CXmlHelper() : m_document(std::make_unique<Document>()) {}

CXmlHelper::~CXmlHelper() = default;

void CXmlHelper::dropDocument() {
    m_document->dom.reset();
}

CXmlNode CXmlHelper::root() const {
    return wrap(m_document->dom.document_element());
}

int CXmlHelper::parseLoaded(const std::string& text) {
    pugi::xml_parse_result result = m_document->dom.load_buffer(text.data(), text.size());
    if (result && m_document->dom.document_element()) {
        m_loaded = true;
        m_loadProblem = LoadProblem::None;
        m_lastError.clear();
        return kOk;
    }
    m_loadProblem = LoadProblem::Damaged;
    m_lastError = text.empty() ? std::string("the file is empty") : result.description();
    ShowXmlError();
    m_document->dom.reset();
    return kOpenFailed;
}

void CXmlHelper::CreateDocument(std::string_view rootName) {
    pugi::xml_document& dom = m_document->dom;
    dom.reset();
    dom.append_child(pugi::node_declaration).append_attribute("version") = "1.0";
    dom.append_child(std::string(rootName).c_str());
    m_loaded = true;
}

int CXmlHelper::GetNode(std::string_view xpath, CXmlNode& out, const CXmlNode& context) {
    out = CXmlNode();
    if (xpath.empty()) {
        return kInvalidParameter;
    }
    try {
        pugi::xml_node from = context ? unwrap(context) : pugi::xml_node(m_document->dom);
        out = wrap(from.select_node(std::string(xpath).c_str()).node());
        return out ? kOk : kNoMatch;
    } catch (const std::exception&) {
        xmlTrace("Error: GetNode()");
        return kParserError;
    }
}

int CXmlHelper::GetNodeList(std::string_view xpath, std::vector<CXmlNode>& out,
                            const CXmlNode& context) {
    out.clear();
    if (xpath.empty()) {
        return kInvalidParameter;
    }
    try {
        pugi::xml_node from = context ? unwrap(context) : pugi::xml_node(m_document->dom);
        for (const pugi::xpath_node& found : from.select_nodes(std::string(xpath).c_str())) {
            // An attribute selected by the expression has no node of its own.
            if (found.node()) {
                out.push_back(wrap(found.node()));
            }
        }
        return kOk;
    } catch (const std::exception&) {
        xmlTrace("Error: GetNodeList()");
        return kParserError;
    }
}

int CXmlHelper::GetNodeAttribeValue(std::string_view xpath, std::string_view name, std::string& out,
                                    const CXmlNode& context) {
    CXmlNode node;
    int result = GetNode(xpath, node, context);
    if (result != kOk) {
        if (result == kParserError) {
            xmlTrace("Error: GetNodeAttribeValue()");
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
    if (!parent || name.empty()) {
        return kOk;
    }
    out = wrap(unwrap(parent).append_child(std::string(name).c_str()));
    if (!out) {
        xmlTrace("Error: CreateAppendNode()");
        return kParserError;
    }
    return kOk;
}

int CXmlHelper::SetNodeAttrib(const CXmlNode& handle, std::string_view name,
                              std::string_view value) {
    pugi::xml_node node = unwrap(handle);
    if (!node || name.empty() || value.empty() || node.type() != pugi::node_element) {
        return kInvalidParameter;
    }
    std::string key(name);
    pugi::xml_attribute attribute = node.attribute(key.c_str());
    if (!attribute) {
        attribute = node.append_attribute(key.c_str());
    }
    if (!attribute || !attribute.set_value(std::string(value).c_str())) {
        xmlTrace("Error: SetNodeAttrib()");
        return kParserError;
    }
    return kOk;
}

bool CXmlHelper::SetNodeText(const CXmlNode& handle, std::string_view text) {
    pugi::xml_node node = unwrap(handle);
    if (!node || HasChildren(handle)) {
        return false;
    }
    while (node.first_child()) {
        node.remove_child(node.first_child());
    }
    return node.text().set(std::string(text).c_str());
}

bool CXmlHelper::HasChildren(const CXmlNode& node) const {
    for (pugi::xml_node child : unwrap(node).children()) {
        if (child.type() == pugi::node_element) {
            return true;
        }
    }
    return false;
}

int CXmlHelper::RemoveAssignNode(const CXmlNode& parent, const CXmlNode& child) {
    if (!parent || !child) {
        return 1;
    }
    return unwrap(parent).remove_child(unwrap(child)) ? kOk : kParserError;
}

std::string CXmlHelper::serialize() const {
    std::ostringstream text;
    m_document->dom.save(text, "  ");
    return text.str();
}
