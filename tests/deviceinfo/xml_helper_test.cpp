#include "deviceinfo/xml_helper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_env.h"

namespace {

class XmlHelperTest : public ::testing::Test {
  protected:
    ddtest::TempDir dir{"ddxml"};
    std::string file(const std::string& name, const std::string& content) {
        ddtest::writeFile(dir / name, content);
        return dir / name;
    }
};

TEST_F(XmlHelperTest, FilesThatDoNotParseLeaveNoDocument) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {{"empty.xml", ""},
                 {"cut.xml", "<orqsupportdevice><device vid='18d1'"},
                 {"bin.xml", std::string("\x89PNG\r\n\x1a\n\0\0", 10)}};
    CXmlHelper xml;
    EXPECT_EQ(xml.LoadFromFile(""), CXmlHelper::kInvalidParameter);
    EXPECT_EQ(xml.LoadFromFile(dir / "absent.xml"), CXmlHelper::kOpenFailed);
    EXPECT_EQ(xml.loadProblem(), CXmlHelper::LoadProblem::Missing);
    for (const Case& c : cases) {
        EXPECT_EQ(xml.LoadFromFile(file(c.name, c.content)), CXmlHelper::kOpenFailed) << c.name;
        EXPECT_EQ(xml.loadProblem(), CXmlHelper::LoadProblem::Damaged) << c.name;
        EXPECT_EQ(xml.LoadFromText(c.content), CXmlHelper::kOpenFailed) << c.name;
    }
    EXPECT_EQ(xml.LoadFromText(std::string(CXmlHelper::kMaxFileBytes + 1, ' ')),
              CXmlHelper::kOpenFailed);
    EXPECT_FALSE(xml.loaded());
    // Queries on a helper without a document answer "nothing", never crash.
    CXmlNode node;
    EXPECT_EQ(xml.GetNode("/orqsupportdevice", node), CXmlHelper::kNoMatch);
    EXPECT_FALSE(node);
    EXPECT_FALSE(xml.root());
    EXPECT_EQ(node.attribute("vid"), "");
    EXPECT_TRUE(node.children().empty());
}

TEST_F(XmlHelperTest, QueriesReturnTheDocumentedCodes) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromText("<root><a k='v'>text</a><b><c/><c n='2'/>tail</b></root>"), 0);
    struct Case {
        const char* xpath;
        int result;
        size_t count;  // nodes in the list
    } cases[] = {{"", CXmlHelper::kInvalidParameter, 0},
                 {"/root/none", CXmlHelper::kNoMatch, 0},
                 {"/root/[[", CXmlHelper::kParserError, 0},
                 {"//*", 0, 5},
                 {"/root/b/c", 0, 2}};
    for (const Case& c : cases) {
        CXmlNode node;
        std::vector<CXmlNode> list{CXmlNode()};
        EXPECT_EQ(xml.GetNode(c.xpath, node), c.result) << c.xpath;
        EXPECT_EQ(static_cast<bool>(node), c.result == 0) << c.xpath;
        EXPECT_EQ(xml.GetNodeList(c.xpath, list), c.result == CXmlHelper::kNoMatch ? 0 : c.result)
            << c.xpath;
        EXPECT_EQ(list.size(), c.count) << c.xpath;
    }
    std::string value = "unchanged";
    EXPECT_EQ(xml.GetNodeAttribeValue("/root/a", "missing", value), CXmlHelper::kNoMatch);
    EXPECT_EQ(value, "unchanged");
    EXPECT_EQ(xml.GetNodeAttribeValue("/root/a", "k", value), 0);
    EXPECT_EQ(value, "v");
    // The node handle: names, text, attributes and element children only.
    CXmlNode b;
    ASSERT_EQ(xml.GetNode("b", b, xml.root()), 0) << "a context node starts the search";
    EXPECT_EQ(b.name(), "b");
    EXPECT_EQ(b.text(), "tail");
    EXPECT_EQ(b.children().size(), 2u);
    EXPECT_EQ(xml.root().children("a").size(), 1u);
    EXPECT_EQ(b.child("c").attributes().size(), 0u);
    EXPECT_EQ(b.children("c")[1].attributes(),
              (std::vector<std::pair<std::string, std::string>>{{"n", "2"}}));
    EXPECT_FALSE(b.child("none"));
}

TEST_F(XmlHelperTest, EditsKeepChildrenAndRefuseEmptyValues) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromFile(file("d.xml", "<root><a k='old'>text</a><b><c/></b></root>")), 0);
    CXmlNode a, b, created;
    CXmlNode root = xml.root();
    xml.GetNode("/root/a", a);
    xml.GetNode("/root/b", b);
    EXPECT_EQ(xml.SetNodeAttrib(a, "k", ""), CXmlHelper::kInvalidParameter);
    EXPECT_EQ(xml.SetNodeAttrib(CXmlNode(), "k", "v"), CXmlHelper::kInvalidParameter);
    EXPECT_EQ(a.attribute("k"), "old");
    EXPECT_FALSE(xml.SetNodeText(b, "wipe")) << "text must never replace child elements";
    EXPECT_TRUE(b.child("c"));
    EXPECT_TRUE(xml.SetNodeText(a, "new"));
    EXPECT_EQ(a.text(), "new");
    EXPECT_EQ(xml.CreateAppendNode(root, "", created), 0);
    EXPECT_FALSE(created);
    EXPECT_EQ(xml.CreateAppendNode(root, "device", created), 0);
    EXPECT_EQ(xml.SetNodeAttrib(created, "imei", "123"), 0);
    EXPECT_EQ(xml.RemoveAssignNode(root, CXmlNode()), 1);
    EXPECT_EQ(xml.RemoveAssignNode(b, a), CXmlHelper::kParserError) << "not b's child";
    EXPECT_EQ(xml.RemoveAssignNode(root, a), 0);
    ASSERT_TRUE(xml.SaveXml(dir / "d.xml"));
    EXPECT_EQ(ddtest::readFile(dir / "d.xml"),
              "<?xml version=\"1.0\"?>\n<root>\n  <b>\n    <c />\n  </b>\n"
              "  <device imei=\"123\" />\n</root>\n");
    CXmlHelper made;
    made.CreateDocument("detecteddevice");
    ASSERT_TRUE(made.SaveXml(dir / "new.xml"));
    EXPECT_EQ(ddtest::readFile(dir / "new.xml"), "<?xml version=\"1.0\"?>\n<detecteddevice />\n");
}

TEST_F(XmlHelperTest, QuotedLiteralsKeepOutsideTextInItsPlace) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromText("<d><device imei=\"1' or '1'='1\"/><device imei='2'/>"
                               "<device imei=\"a'b&quot;c\"/></d>"),
              0);
    struct Case {
        std::string key;
        size_t count;
    } cases[] = {{"x' or '1'='1", 0}, {"1' or '1'='1", 1},       {"a'b\"c", 1}, {"2", 1},
                 {"2\"]|//*[\"", 0},  {std::string("2\0", 2), 0}};
    for (const Case& c : cases) {
        std::vector<CXmlNode> found;
        xml.GetNodeList("/d/device[@imei=" + CXmlHelper::xpathLiteral(c.key) + "]", found);
        EXPECT_EQ(found.size(), c.count) << c.key;
    }
}

TEST_F(XmlHelperTest, FailedSaveIsRetriedAndLeavesNothingBehind) {
    CXmlHelper xml;
    ASSERT_EQ(xml.LoadFromFile(file("d.xml", "<root><old/></root>")), 0);
    xml.setSaveRetryPause(std::chrono::milliseconds(1));
    // A folder where the file should be: the final rename fails on every try,
    // even for root.
    ddtest::makeDirs(dir / "taken");
    ddtest::writeFile(dir / "taken/inside", "keep");
    EXPECT_FALSE(xml.SaveXml(dir / "taken"));
    EXPECT_EQ(ddtest::readFile(dir / "taken/inside"), "keep");
    EXPECT_EQ(ddtest::readFile(dir / "d.xml"), "<root><old/></root>");
    int leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        leftovers += entry.path().filename().string().find(".tmp") != std::string::npos;
    }
    EXPECT_EQ(leftovers, 0) << "temporary files must be cleaned up";
}

}  // namespace
