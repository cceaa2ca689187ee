// CXmlHelper: the one way the module reads and writes XML files (the
// supported-device catalogue, the detected-device store). A thin object over
// one DOM document with XPath, with integer results: 0 success, 87 bad
// argument, 110 open failed, 1 "nothing matched", -1 an error inside the
// parser (for instance an XPath that does not compile). The DOM library is
// named only in xml_helper.cpp (pugixml) and xml_helper_win32.cpp (MSXML);
// callers see CXmlNode handles.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A handle on one node of a CXmlHelper's document: valid while that document
// is neither reloaded nor destroyed and the node is not removed. An empty
// handle (false) answers every question with nothing.
class CXmlNode {
  public:
    CXmlNode() = default;
    explicit operator bool() const { return m_impl != nullptr; }

    std::string name() const;
    // The attribute's text, empty when it is absent.
    std::string attribute(std::string_view name) const;
    bool hasAttribute(std::string_view name) const;
    // Every attribute as (name, value), in document order.
    std::vector<std::pair<std::string, std::string>> attributes() const;
    // The text of the node's first text child, empty when there is none.
    std::string text() const;
    // The first element child of that name; empty handle when none.
    CXmlNode child(std::string_view name) const;
    // The element children (of that name when one is given), in order.
    std::vector<CXmlNode> children(std::string_view name = {}) const;

    // The DOM library's node, defined by the implementation only.
    struct Impl;
    explicit CXmlNode(std::shared_ptr<const Impl> impl) : m_impl(std::move(impl)) {}
    const Impl* impl() const { return m_impl.get(); }

  private:
    std::shared_ptr<const Impl> m_impl;
};

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

    CXmlHelper();
    virtual ~CXmlHelper();
    CXmlHelper(const CXmlHelper&) = delete;
    CXmlHelper& operator=(const CXmlHelper&) = delete;

    // 0 when the file parsed; 87 for an empty path; 110 when it is missing,
    // unreadable, empty or not well-formed (the helper then holds no
    // document; loadProblem() and loadError() say which and why). Only a
    // regular file is read: a FIFO or device node there is refused at once.
    int LoadFromFile(const std::string& path);
    // The same for text already in memory (at most kMaxFileBytes): 0 when it
    // parsed, 110 (Damaged) when it did not.
    int LoadFromText(std::string_view text);
    // Starts an empty document with the given root element (for a store that
    // does not exist yet).
    void CreateDocument(std::string_view rootName);

    // 0 with a node, 1 with an empty node when nothing matches, 87 for an
    // empty XPath, -1 when the XPath is invalid. context empty = the document.
    int GetNode(std::string_view xpath, CXmlNode& out, const CXmlNode& context = {});
    int GetNodeList(std::string_view xpath, std::vector<CXmlNode>& out,
                    const CXmlNode& context = {});
    // Copies the attribute of the first matching node into out; out stays
    // unchanged when the node or the attribute is missing (result 1).
    int GetNodeAttribeValue(std::string_view xpath, std::string_view name, std::string& out,
                            const CXmlNode& context = {});
    // Appends a new element as the parent's last child. 0 with nothing done
    // for an empty parent or name.
    int CreateAppendNode(const CXmlNode& parent, std::string_view name, CXmlNode& out);
    // 87 for an empty node, name or value: an attribute is never set empty.
    int SetNodeAttrib(const CXmlNode& node, std::string_view name, std::string_view value);
    // False, changing nothing, when the node has element children.
    bool SetNodeText(const CXmlNode& node, std::string_view text);
    // True when at least one child is an element.
    bool HasChildren(const CXmlNode& node) const;
    // 1 when either node is empty; else 0 when removed, -1 when child is not the parent's.
    int RemoveAssignNode(const CXmlNode& parent, const CXmlNode& child);
    // Writes the document (temporary file, then rename). A failing save is
    // tried 11 times with a pause after each failure, then given up: the file
    // keeps its earlier content. Anything but a regular file at path is left
    // alone at once. Returns whether it was written.
    bool SaveXml(const std::string& path);
    void ShowXmlError() const;

    bool loaded() const { return m_loaded; }
    LoadProblem loadProblem() const { return m_loadProblem; }
    const std::string& loadError() const { return m_lastError; }
    // The document's root element; empty handle without a document.
    CXmlNode root() const;

    // Pause after a failed save (500 ms); tests shorten it.
    void setSaveRetryPause(std::chrono::milliseconds pause) { m_retryPause = pause; }

    // Quotes text from outside (an IMEI, a serial) as an XPath string literal,
    // so that a quote inside it cannot end the literal early. Text with a NUL
    // (which no XML attribute can hold) makes an expression that does not
    // compile, so it selects nothing.
    static std::string xpathLiteral(std::string_view text);

  private:
    struct Document;  // the DOM library's document, defined beside it
    // What each DOM implementation provides to the shared code
    // (xml_helper_shared.cpp): parse text into the document, drop it, and
    // write it out as text, indented two blanks a level.
    int parseLoaded(const std::string& text);
    void dropDocument();
    std::string serialize() const;

    std::unique_ptr<Document> m_document;
    bool m_loaded = false;
    LoadProblem m_loadProblem = LoadProblem::None;
    std::string m_lastError;
    std::chrono::milliseconds m_retryPause{500};
};
