// CXmlHelper: the one way the module reads and writes XML files (the
// supported-device catalogue, the detected-device store). A thin object over
// one pugixml document, with integer results: 0 success, 87 bad argument,
// 110 open failed, 1 "nothing matched", -1 an error inside the parser (for
// instance an XPath that does not compile).
#pragma once

#include <pugixml.hpp>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

class CXmlHelper {
  public:
    static constexpr int kOk = 0;
    static constexpr int kNoMatch = 1;
    static constexpr int kInvalidParameter = 87;
    static constexpr int kOpenFailed = 110;
    static constexpr int kParserError = -1;

    // Why the last LoadFromFile failed.
    enum class LoadProblem {
        None,        // loaded
        Missing,     // no file at the path
        Unreadable,  // there, but could not be read: not a regular file, no permission, I/O error
        Damaged,     // read whole, but empty, not well-formed, or over kMaxFileBytes
    };
    static constexpr size_t kMaxFileBytes = 16u << 20;

    CXmlHelper() = default;
    virtual ~CXmlHelper() = default;
    CXmlHelper(const CXmlHelper&) = delete;
    CXmlHelper& operator=(const CXmlHelper&) = delete;

    // 0 when the file parsed; 87 for an empty path; 110 when it is missing,
    // unreadable, empty or not well-formed (the helper then holds no
    // document; loadProblem() and loadError() say which and why). Only a
    // regular file is read: a FIFO or device node there is refused at once.
    int LoadFromFile(const std::string& path);
    // Starts an empty document with the given root element (for a store that
    // does not exist yet).
    void CreateDocument(std::string_view rootName);

    // 0 with a node, 1 with an empty node when nothing matches, 87 for an
    // empty XPath, -1 when the XPath is invalid. context empty = the document.
    int GetNode(std::string_view xpath, pugi::xml_node& out, pugi::xml_node context = {});
    int GetNodeList(std::string_view xpath, pugi::xpath_node_set& out, pugi::xml_node context = {});
    // Copies the attribute of the first matching node into out; out stays
    // unchanged when the node or the attribute is missing (result 1).
    int GetNodeAttribeValue(std::string_view xpath, std::string_view name, std::string& out,
                            pugi::xml_node context = {});
    // Appends a new element as the parent's last child. 0 with nothing done
    // for an empty parent or name.
    int CreateAppendNode(pugi::xml_node parent, std::string_view name, pugi::xml_node& out);
    // 87 for an empty node, name or value: an attribute is never set empty.
    int SetNodeAttrib(pugi::xml_node node, std::string_view name, std::string_view value);
    // False, changing nothing, when the node has element children.
    bool SetNodeText(pugi::xml_node node, std::string_view text);
    // True when at least one child is an element.
    bool HasChildren(pugi::xml_node node) const;
    // 1 when either node is empty; else 0 when removed, -1 when child is not the parent's.
    int RemoveAssignNode(pugi::xml_node parent, pugi::xml_node child);
    // Writes the document (temporary file, then rename). A failing save is
    // tried 11 times with a pause after each failure, then given up: the file
    // keeps its earlier content. Anything but a regular file at path is left
    // alone at once. Returns whether it was written.
    bool SaveXml(const std::string& path);
    void ShowXmlError() const;

    bool loaded() const { return m_loaded; }
    LoadProblem loadProblem() const { return m_loadProblem; }
    const std::string& loadError() const { return m_lastError; }
    pugi::xml_document& document() { return m_document; }

    // Pause after a failed save (500 ms); tests shorten it.
    void setSaveRetryPause(std::chrono::milliseconds pause) { m_retryPause = pause; }

    // Quotes text from outside (an IMEI, a serial) as an XPath string literal,
    // so that a quote inside it cannot end the literal early. Text with a NUL
    // (which no XML attribute can hold) makes an expression that does not
    // compile, so it selects nothing.
    static std::string xpathLiteral(std::string_view text);

  private:
    pugi::xml_node contextOrDocument(pugi::xml_node context);

    pugi::xml_document m_document;
    bool m_loaded = false;
    LoadProblem m_loadProblem = LoadProblem::None;
    std::string m_lastError;
    std::chrono::milliseconds m_retryPause{500};
};
